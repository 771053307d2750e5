// The program's entry and the start-up sequences of both modes: the
// command line, the common checks, each mode's own steps, the report
// lines, and the hand-over to the mode's loop.
#pragma once

// Prints the start failure line for stage with the current errno and
// returns code.
int report_start_failure(int code, const char* stage);

int veltarisd_main(int argc, char** argv);
int start_main_panel(int argc, char** argv);
int start_outdoor(const char* node_path);
