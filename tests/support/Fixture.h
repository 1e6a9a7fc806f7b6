#pragma once
// Starts the scripts of tests/fixtures/ that make the fixture images with real
// tools. A fixture that cannot be made fails the test that needs it with the
// script's exit status and output; it never skips, so no test passes under CI
// without having run.

#include <sys/wait.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillory_test {

struct FixtureRun {
    std::string command;
    int exitStatus = -1;  // the script's exit status; -1 when it did not exit by itself
    std::string output;   // standard output and standard error together

    bool Ok() const { return exitStatus == 0; }
    std::string Report() const {
        return "fixture script failed (exit status " + std::to_string(exitStatus) + "): " + command + "\n" + output;
    }
};

namespace fixture_detail {
inline std::string Quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}
}  // namespace fixture_detail

// Runs tests/fixtures/`script` with `args` (each quoted for the shell) and
// waits for it. The scripts make their images once per folder, under a lock,
// so test programs running at the same time may all ask.
inline FixtureRun RunFixtureScript(const std::string& script, const std::vector<std::string>& args) {
    FixtureRun run;
    run.command = "bash " + fixture_detail::Quoted(std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/" + script);
    for (const std::string& a : args) run.command += " " + fixture_detail::Quoted(a);
    FILE* p = ::popen((run.command + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        run.output = "cannot start the shell";
        return run;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.output.append(buf, n);
    const int status = ::pclose(p);
    if (status != -1 && WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    return run;
}

// Has tests/fixtures/`script` make its images in `folder` and returns
// `folder`; throws with the script's report when it fails (a test that calls
// it fails with that report).
inline std::string MakeFixtures(const std::string& script, const std::string& folder,
                                const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{folder};
    args.insert(args.end(), more.begin(), more.end());
    const FixtureRun run = RunFixtureScript(script, args);
    if (!run.Ok()) {
        std::fputs(run.Report().c_str(), stderr);
        throw std::runtime_error(run.Report());
    }
    return folder;
}

}  // namespace quillory_test
