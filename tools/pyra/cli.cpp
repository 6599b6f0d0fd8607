// The command line: the tool's help layout over CLI11, and running the parsed
// command with the tool's exit codes and one-line messages.
#include <cstdio>
#include <iostream>
#include <new>
#include <sstream>

#include "pyra.h"

namespace pyra {

namespace {

// "usage: ..." first, then the description and CLI11's generated lists.
class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter()
    {
        label("Usage", "usage");
        label("SUBCOMMAND", "COMMAND");
    }
    std::string make_help(const CLI::App *app, std::string name, CLI::AppFormatMode mode) const override
    {
        if (mode == CLI::AppFormatMode::Sub)
            return make_expanded(app);
        // A command's footer holds its details, shown before the generated lists;
        // the tool's own footer closes the list of commands.
        const bool command = app->get_parent() != nullptr;
        std::stringstream out;
        out << make_usage(app, name);
        if (!app->get_description().empty())
            out << '\n' << app->get_description() << '\n';
        if (command && !app->get_footer().empty())
            out << '\n' << app->get_footer() << '\n';
        out << make_positionals(app) << make_groups(app, mode) << make_subcommands(app, mode);
        if (!command && !app->get_footer().empty())
            out << '\n' << app->get_footer() << '\n';
        return out.str();
    }
};

// The command that was chosen, for the "pyra COMMAND: " prefix; null before one was.
const CLI::App *chosen(const CLI::App &app)
{
    for (const CLI::App *sub : app.get_subcommands())
        if (sub->parsed())
            return sub;
    return nullptr;
}

int fail(const CLI::App &app, const std::string &message)
{
    const CLI::App *sub = chosen(app);
    std::fprintf(stderr, "pyra%s%s: %s\n", sub ? " " : "", sub ? sub->get_name().c_str() : "",
                 message.c_str());
    return 1;
}

}  // namespace

void configure(CLI::App &app)
{
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_version_flag("--version,-V", "pyra " PYRA_VERSION, "print the version and exit");
    app.set_help_flag("--help,-h", "print this help and exit (also after a command)");
    app.require_subcommand(1);
    app.footer("Exit status 0 on success, 1 on failure with one line on standard error.");
}

CLI::App *addCommand(CLI::App &app, const std::string &name, const std::string &summary,
                     const std::string &details)
{
    CLI::App *sub = app.add_subcommand(name, summary);
    sub->group("Commands");
    sub->footer(details);
    return sub;
}

int run(CLI::App &app, int argc, char **argv)
{
    if (argc < 2) {
        std::fputs(app.help().c_str(), stderr);
        return 1;
    }
    const std::string first = argv[1];
    const std::vector<CLI::App *> commands =
        app.get_subcommands([&](CLI::App *c) { return c->get_name() == first; });
    if (first != "help" && first[0] != '-' && commands.empty()) {
        std::fprintf(stderr, "pyra: unknown command '%s' (see pyra --help)\n", argv[1]);
        return 1;
    }
    if (first == "help") {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    }
    try {
        app.parse(argc, argv);
        return 0;
    } catch (const CLI::Success &e) {
        // --help and --version: to standard output, exit status 0.
        return app.exit(e, std::cout, std::cerr);
    } catch (const CLI::ParseError &e) {
        const CLI::App *sub = chosen(app);
        return fail(app,
                    std::string(e.what()) + " (see pyra" + (sub ? " " + sub->get_name() : "") + " --help)");
    } catch (const Failure &e) {
        return fail(app, e.what());
    } catch (const std::bad_alloc &) {
        return fail(app, "out of memory");
    } catch (const std::exception &e) {
        return fail(app, e.what());
    }
}

}  // namespace pyra
