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
    if (const char *env = std::getenv("TILDEKIT_PATH")) {
        std::string s = env;
        for (std::size_t at = 0; at <= s.size();) {
            std::size_t colon = s.find(':', at);
            std::string dir = s.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
            if (!dir.empty()) tk::add_search_path(dir);
            if (colon == std::string::npos) break;
            at = colon + 1;
        }
    }
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
