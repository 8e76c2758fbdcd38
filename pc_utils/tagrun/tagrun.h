// tagrun: runs a list of steps (steps.h) against one tag, for a CI job or
// a script on the bench, and ends with a verdict in its exit status.
//   options.cpp  the command line, --help, and the steps it names
//   port.cpp     what the steps need of the tag, on the port tagrun holds:
//                its output, a line sent, a load, a re-boot
//   main.cpp     the run: the port, the steps, the reports
#pragma once

#include "app/app.h"
#include "steps.h"

#include <string>
#include <vector>

constexpr int RUN_USAGE_ERROR = 2;

struct run_options {
    char port[APP_PORT_NAME_SIZE];  // as -c gave it; empty: the scan
    bool auto_run = false;          // -r: every load sets the script to run at power-up
    uint32_t timeout_ms = 10000;    // an expect's time-out without "within"
    const char* reset = nullptr;    // --reset: "dtr" or a command; null: none
    const char* log_path = nullptr;
    const char* junit_path = nullptr;
    bool json = false;
    bool verbose = false;
    std::string steps_name;         // the step file, or "-e" (the JUnit suite's name)
    std::vector<step> steps;
};
// The options and the steps into `o`: 0 to run, -1 after --help (status
// 0), or RUN_USAGE_ERROR after the error (a step file's naming file and
// line) on standard error.
int parse_options(int argc, char** argv, run_options& o);

// The port tagrun holds, for the steps (step_port's context).
struct run_port {
    const run_options* opt;
    char port[APP_PORT_NAME_SIZE];    // the port open ("COM4", "/dev/ttyUSB0")
    char shown[APP_PORT_NAME_SIZE * 2 + 4];
    uint32_t timeout_ms;              // the one set on the port last
    bool bar;                         // a load's bar: standard output a terminal
};
step_port make_step_port(run_port& p);
