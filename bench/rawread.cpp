// The floor for the benchmarks: reads whole files, one after the other, in 1 MiB blocks (the
// block size the tool reads its grids in) and looks at nothing. A grid run can't cost less.
//
//   zonalstats_rawread FILE...
#include <cstdio>
#include <memory>

int main(int argc, char **argv) {
    constexpr std::size_t block_size = std::size_t{1} << 20;
    const auto block = std::make_unique_for_overwrite<char[]>(block_size);
    unsigned long long total = 0;
    for (int i = 1; i < argc; ++i) {
        std::FILE *file = std::fopen(argv[i], "rb");
        if (file == nullptr) {
            std::perror(argv[i]);
            return 1;
        }
        std::setvbuf(file, nullptr, _IONBF, 0); // no second copy through stdio's buffer
        for (std::size_t got; (got = std::fread(block.get(), 1, block_size, file)) != 0;)
            total += got;
        const bool failed = std::ferror(file) != 0;
        std::fclose(file);
        if (failed) {
            std::perror(argv[i]);
            return 1;
        }
    }
    std::printf("bytes %llu\n", total);
    return 0;
}
