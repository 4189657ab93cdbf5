// tilde-validate: the validator on its own, for builds without the full tilde command (the
// 32-bit build has no 32-bit sound-file library). Same options as `tilde validate`.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "common.h"
#include "tildehost.h"
#include "validate.h"

int main(int argc, char **argv) {
    CLI::App app{"tilde-validate: run tildekit externals through the validator's checks", "tilde-validate"};
    tilde::ValidateOptions o;
    std::vector<std::string> paths;
    app.add_option("--path", paths, "Folder to search for externals first (repeatable)")->type_name("DIR")->allow_extra_args(false);
    tilde::add_validate_options(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::fprintf(stderr, "tilde-validate: %s (see tilde-validate --help)\n", e.what());
        return tilde::exit_bad_input;
    }
    for (auto &p : paths) tk::add_search_path(p);
    for (auto &dir : tilde::env_search_paths()) tk::add_search_path(dir);
    tk::add_search_path(TILDEKIT_MODULE_DIR);
    o.path_args = paths;
    try {
        return tilde::run_validate(o);
    } catch (const tilde::BadInput &e) {
        std::fprintf(stderr, "tilde-validate: %s\n", e.what());
        return tilde::exit_bad_input;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tilde-validate: %s\n", e.what());
        return tilde::exit_failed;
    }
}
