#include "scan/scan.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// The memory the blocks in flight of one grid may take, beyond two of them.
constexpr std::uint64_t lane_memory = std::uint64_t{24} << 20;

// One grid's blocks in flight: block j lives in slot j % slots.size() from the moment it is
// claimed for reading until the count is done with it. A slot has one owner at a time: the
// thread that claimed it, then (once done) the counting thread.
enum class slot_state : unsigned char { free, claimed, done };

struct lane {
    grid_stream *grid = nullptr;
    std::vector<cell_block> slots;
    std::vector<slot_state> states;
    std::uint64_t next_claim = 0;   // the next block to read
    std::uint64_t next_consume = 0; // the next block the count takes
    std::uint64_t next_read = 0;    // for grids read in order: whose turn it is to read
    std::uint64_t block_limit = 0;  // blocks beyond this hold no cell the scan needs
    bool no_more_claims = false;    // a block ended the grid, or the count has all it needs
};

struct pipeline {
    std::vector<lane> lanes; // the value grids, then the zone grid
    std::mutex mutex;
    std::condition_variable work_ready; // a block can be claimed, or the scan is over
    std::condition_variable block_done; // a block was decoded
    std::condition_variable read_turn;  // a grid read in order moved on to its next block
    bool stopping = false;
};

struct claim {
    lane *owner = nullptr;
    std::uint64_t index = 0;
};

bool can_claim(const lane &l) {
    return !l.no_more_claims && l.next_claim < l.block_limit &&
           l.next_claim < l.next_consume + l.slots.size();
}

claim take(lane &l) {
    const claim c{&l, l.next_claim++};
    l.states[c.index % l.slots.size()] = slot_state::claimed;
    return c;
}

// The next block to work on, under the lock: the lane that is least far ahead, the first of
// them (a value grid before the zone grid) when several are as far.
claim next_claim(pipeline &p) {
    lane *best = nullptr;
    for (lane &l : p.lanes)
        if (can_claim(l) && (best == nullptr ||
                             l.next_claim - l.next_consume < best->next_claim - best->next_consume))
            best = &l;
    return best == nullptr ? claim{} : take(*best);
}

// Reads and decodes a claimed block, without the lock but while a grid read in order waits for
// its turn; then hands it to the count.
void work_on(pipeline &p, const claim &c) {
    lane &l = *c.owner;
    cell_block &block = l.slots[c.index % l.slots.size()];
    block.index = c.index;
    if (blocks_in_any_order(*l.grid)) {
        read_cell_block(*l.grid, block);
    } else {
        std::unique_lock lock(p.mutex);
        p.read_turn.wait(lock, [&] { return l.next_read == c.index; });
        lock.unlock();
        read_cell_block(*l.grid, block);
        lock.lock();
        ++l.next_read;
        p.read_turn.notify_all();
    }
    decode_cell_block(*l.grid, block);
    const std::lock_guard lock(p.mutex);
    l.states[c.index % l.slots.size()] = slot_state::done;
    // Nothing behind a block that ended the grid is needed.
    if (block.end != block_end::more) l.no_more_claims = true;
    // Only the counting thread waits for a decoded block; no worker can claim more for it.
    p.block_done.notify_all();
}

void worker(pipeline &p) {
    for (;;) {
        claim c;
        {
            std::unique_lock lock(p.mutex);
            p.work_ready.wait(lock, [&] {
                if (p.stopping) return true;
                c = next_claim(p);
                return c.owner != nullptr;
            });
            if (c.owner == nullptr) return;
        }
        work_on(p, c);
    }
}

// Starts the workers, and stops and joins them whatever way the scan ends. Where a thread can't
// be started, the scan goes on with those it has: the counting thread does the rest.
struct worker_threads {
    pipeline &p;
    std::vector<std::thread> threads;

    worker_threads(pipeline &owner, unsigned count) : p(owner) {
        try {
            for (unsigned i = 0; i < count; ++i)
                threads.emplace_back(worker, std::ref(p));
        } catch (const std::system_error &) {
        } catch (const std::bad_alloc &) {
        }
    }
    worker_threads(const worker_threads &) = delete;
    worker_threads &operator=(const worker_threads &) = delete;
    ~worker_threads() {
        {
            const std::lock_guard lock(p.mutex);
            p.stopping = true;
        }
        p.work_ready.notify_all();
        for (std::thread &thread : threads)
            thread.join();
    }
};

// The next block of a lane for the count: decoded on this thread where no worker has it yet.
cell_block &next_block(pipeline &p, lane &l) {
    const std::size_t slot = l.next_consume % l.slots.size();
    std::unique_lock lock(p.mutex);
    while (l.states[slot] != slot_state::done) {
        // A free slot is the block the count needs next, and nobody has it yet: blocks are
        // claimed in order.
        const claim c = l.states[slot] == slot_state::free ? take(l) : next_claim(p);
        if (c.owner == nullptr) {
            p.block_done.wait(lock);
            continue;
        }
        lock.unlock();
        work_on(p, c);
        lock.lock();
    }
    return l.slots[slot];
}

void release_block(pipeline &p, lane &l) {
    {
        const std::lock_guard lock(p.mutex);
        l.states[l.next_consume % l.slots.size()] = slot_state::free;
        ++l.next_consume;
    }
    // One slot became free, so one claim became possible: waking every idle worker for it
    // costs a context switch per worker and block.
    p.work_ready.notify_one();
}

// The scan's progress. Dots: one per row, flushed when a row ends and a while has passed, so
// that they show on a terminal as the scan goes without a flush per row. Bar: redrawn when its
// percentage has moved and a while has passed, and once more at the end.
struct progress {
    using clock = std::chrono::steady_clock;
    progress_display display = progress_display::dots;
    std::FILE *out = stdout;
    std::uint32_t ncols = 0;
    std::uint64_t rows = 0;
    std::uint64_t done = 0;
    std::uint64_t drawn_percent = 0;
    clock::time_point last_flush = clock::now();
    std::uint64_t cells_since_check = 0;
};

constexpr auto progress_pause = std::chrono::milliseconds(200);

std::uint64_t percent_of(std::uint64_t done, std::uint64_t rows) {
    return rows == 0 ? 100 : done * 100 / rows; // rows < 2^32: no overflow
}

void draw_bar(progress &state) {
    const std::string bar = progress_bar(state.done, state.rows);
    std::fwrite(bar.data(), 1, bar.size(), state.out);
    std::fflush(state.out);
    state.drawn_percent = percent_of(state.done, state.rows);
    state.last_flush = progress::clock::now();
}

void start_progress(progress &state) {
    if (state.display == progress_display::bar) draw_bar(state);
}

void rows_done(progress &state, std::uint64_t rows) {
    if (state.display == progress_display::bar) {
        state.done += rows;
        if (rows == 0 || percent_of(state.done, state.rows) == state.drawn_percent) return;
        if (progress::clock::now() - state.last_flush >= progress_pause) draw_bar(state);
        return;
    }
    if (state.display != progress_display::dots) return;
    for (; rows != 0; --rows) {
        std::fputc('.', state.out);
        state.cells_since_check += std::uint64_t{state.ncols} + 1;
        if (state.cells_since_check < (1u << 20)) continue;
        state.cells_since_check = 0;
        const auto now = progress::clock::now();
        if (now - state.last_flush >= progress_pause) {
            std::fflush(state.out);
            state.last_flush = now;
        }
    }
}

// The bar shows where the scan ended; a scan that failed leaves it where it stopped.
void end_progress(progress &state) {
    if (state.display == progress_display::bar) draw_bar(state);
}

// Where the count stands in one lane's current block.
struct cursor {
    cell_block *block = nullptr;
    std::size_t used = 0;
    std::uint64_t cells_taken = 0; // cells of the blocks taken so far
};

scan_outcome outcome_of(block_end end) {
    return end == block_end::no_memory ? scan_outcome::no_memory : scan_outcome::no_value;
}

} // namespace

scan_result scan_cells(grid_stream &input, grid_stream &zones, zone_counter &counter,
                       const scan_settings &settings) {
    grid_stream *const inputs[] = {&input};
    zone_counter *const counters[] = {&counter};
    return scan_bands(inputs, zones, counters, settings);
}

scan_result scan_bands(std::span<grid_stream *const> inputs, grid_stream &zones,
                       std::span<zone_counter *const> counters, const scan_settings &settings) {
    const std::size_t bands = inputs.size();
    const auto nrows = static_cast<std::uint32_t>(inputs.front()->header.nrows);
    const auto ncols = static_cast<std::uint32_t>(inputs.front()->header.ncols);
    const std::uint64_t cells = std::uint64_t{nrows} * ncols;
    progress dots;
    dots.display = settings.progress;
    dots.out = settings.progress_stream;
    dots.ncols = ncols;
    dots.rows = nrows;
    scan_result result;
    start_progress(dots);
    if (cells == 0) {
        rows_done(dots, nrows);
        end_progress(dots);
        return result;
    }

    const unsigned threads = std::max(settings.threads, 1u);
    // Alone, the counting thread decodes each block when it needs it, into the one it has just
    // done with; workers need a few more to keep busy while it counts.
    const std::size_t in_flight = settings.blocks_in_flight != 0 ? settings.blocks_in_flight
                                  : threads == 1                 ? 1
                                                                 : std::size_t{threads} + 1;
    pipeline p;
    p.lanes.resize(bands + 1);
    for (std::size_t i = 0; i <= bands; ++i) {
        lane &l = p.lanes[i];
        l.grid = i < bands ? inputs[i] : &zones;
        block_settings blocks = settings.blocks;
        blocks.threads = threads;
        start_cell_blocks(*l.grid, blocks);
        // Large blocks (a GDAL raster's block rows can be megabytes) are fewer in flight.
        const std::size_t lane_in_flight =
            settings.blocks_in_flight != 0
                ? in_flight
                : std::min(
                      in_flight,
                      std::max<std::size_t>(
                          2, static_cast<std::size_t>(
                                 lane_memory / std::max<std::uint64_t>(block_memory(*l.grid), 1))));
        l.slots.resize(lane_in_flight);
        l.states.assign(lane_in_flight, slot_state::free);
        l.block_limit = blocks_for_cells(*l.grid, cells);
    }
    const worker_threads workers(p, threads - 1);

    // One cursor per lane: the zone grid's blocks are decoded once and counted against every
    // band's values.
    std::vector<cursor> at(bands + 1);
    const cursor &zone_at = at[bands];
    std::uint64_t cell = 0;
    while (cell < cells) {
        // A cell's values come before its zone, the bands in their order.
        bool failed = false;
        for (std::size_t i = 0; i <= bands && !failed; ++i) {
            cursor &c = at[i];
            while (c.block == nullptr || c.used == c.block->count) {
                if (c.block != nullptr) {
                    if (c.block->end != block_end::more) {
                        result = {outcome_of(c.block->end), cell, i == bands, i < bands ? i : 0};
                        failed = true;
                        break;
                    }
                    release_block(p, p.lanes[i]);
                }
                c.block = &next_block(p, p.lanes[i]);
                c.used = 0;
                c.cells_taken += c.block->count;
                if (c.cells_taken >= cells) {
                    const std::lock_guard lock(p.mutex);
                    p.lanes[i].no_more_claims = true;
                }
            }
        }
        if (failed) break;
        std::uint64_t n = cells - cell;
        for (const cursor &c : at)
            n = std::min<std::uint64_t>(n, c.block->count - c.used);
        // Where a band's new zone finds no memory, the scan ends at the first such cell.
        std::size_t counted = static_cast<std::size_t>(n);
        std::size_t short_band = bands;
        for (std::size_t b = 0; b < bands; ++b) {
            const std::size_t band_counted =
                count_cells(*counters[b], at[b].block->cells + at[b].used,
                            zone_at.block->cells + zone_at.used, static_cast<std::size_t>(n));
            if (band_counted < counted) {
                counted = band_counted;
                short_band = b;
            }
        }
        rows_done(dots, (cell + counted) / ncols - cell / ncols);
        cell += counted;
        for (cursor &c : at)
            c.used += counted;
        if (short_band != bands) {
            result = {scan_outcome::no_zone_memory, cell, false, short_band};
            break;
        }
    }
    for (zone_counter *const counter : counters)
        finish_counting(*counter);
    end_progress(dots);
    return result;
}

std::string progress_bar(std::uint64_t done, std::uint64_t rows) {
    constexpr std::uint64_t width = 40;
    const std::uint64_t percent = percent_of(done, rows);
    const std::uint64_t filled = rows == 0 ? width : done * width / rows;
    std::string bar = "\r[";
    bar.append(filled, '#');
    bar.append(width - filled, ' ');
    char figures[64];
    std::snprintf(figures, sizeof figures, "] %3u%%  %llu of %llu rows",
                  static_cast<unsigned>(percent), static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(rows));
    return bar + figures;
}
