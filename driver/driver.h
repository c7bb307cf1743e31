// The run: names from the command line or the console, opening of the grids and the report,
// the scan over all cell pairs, the report (or with --csv or --json the table), and the exit
// code.
//
// Exit codes: 0 report written; 1 empty answer at "please enter file: ", or no memory for more
// zones or the table's distinct values; 2 no memory for the zone lookup table; 3 the grids
// differ in geometry; 4 the report could not be written; 5 an option with a bad value; 98 a
// grid can't be opened, is in no known format, has a broken header or runs out of values.
#pragma once

// Runs the tool as "zonalstats <inputgrid> <zonegrid> <report>" and returns its exit code.
// Everything it prints goes to standard output; the console answers come from standard input.
// "--help" or "--version" as the only argument prints the help or the version and returns 0,
// or 4 when standard output can't be written.
int run_zonalstats(int argc, char **argv);
