// tarvo-cli: lists, inspects and captures from tarvo depth cameras, and
// converts what it saved. "tarvo-cli --help" and "tarvo-cli COMMAND --help"
// describe every option.
//
// Exit status: 0 success, 1 the operation failed, 2 bad arguments,
// 3 no camera found.
#include "cli.h"

int main(int argc, char **argv) {
    using namespace tarvo_cli;
    CLI::App app{"tarvo-cli: tarvo depth cameras from the command line"};
    app.require_subcommand(1);
    Global g;
    g.argv = argv;
    app.add_flag("--json", g.json, "print results as JSON");
    app.add_option("--prefix", g.prefix,
                   "directory for the log and calibration files "
                   "(default $XDG_STATE_HOME/tarvo, else ~/.local/state/tarvo)");
    app.add_option("--log-level", g.log_level,
                   "console log threshold: trace, debug, info, warn, error, off")
        ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "off"}));
    app.add_option("-d,--device", g.device, "camera index in the list (default 0)")
        ->check(CLI::NonNegativeNumber);
    Runner run;
    add_list(app, g, run);
    add_info(app, g, run);
    add_access(app, g, run);
    add_capture(app, g, run);
    add_record(app, g, run);
    add_convert(app, g, run);
    add_transfer(app, g, run);
    add_quality(app, g, run);
#ifdef TARVO_CLI_VIEW
    add_view(app, g, run);
#endif
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int status = app.exit(e);
        return status == 0 ? k_ok : k_usage;
    }
    return run ? run() : k_usage;
}
