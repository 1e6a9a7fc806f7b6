#pragma once
// The engine log: time-stamped lines to standard output, appended to
// "sMAC_Quillory.log" in the application's work folder.

#include <cstdio>
#include <string>

// Folder of the running executable (no trailing slash), where the log and
// UIConfig.ini live. Defaults to the folder of /proc/self/exe; the front end
// (or a test) may point it elsewhere with SetAppWorkPath. Empty when unknown.
std::string GetAppWorkPath();
// Replaces the work folder for this process; an empty path restores the
// default. The log picks up the new folder on its next line.
void SetAppWorkPath(const std::string& path);

// Where the engine's diagnostic lines go. They used to be printed straight to
// standard output, where a command-line tool's results are written; the
// caller now chooses.
enum class DiagnosticSink {
    StandardOutput,  // as before (the default)
    StandardError,
    LogFile,  // as a log line: stamped, appended to the log file
    Discard,
};
// Sets the destination for this process; takes effect from the next line.
void SetDiagnosticSink(DiagnosticSink sink);
DiagnosticSink GetDiagnosticSink();
// The one function the engine's diagnostics go through. The format supplies
// its own "\n", as printf's would.
void LogDiagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

class CatchExeception {
public:
    // Longest message kept behind the stamp, including the terminating zero.
    static constexpr int kMaxMessageBytes = 2000;
    static constexpr int kStampChars = 9;  // "HH:MM:SS "

    // Writes one stamped line (the format supplies its own "\n") to standard
    // output and to the log file; where the file cannot be written the line
    // goes to standard output only. Returns the stamp length plus the full
    // formatted length of the message, even when the message was cut.
    static int WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // Whether WriteLog also prints its lines to standard output (the file
    // gets them either way). On by default; a command-line tool whose
    // standard output carries its results turns it off.
    static void SetConsoleEcho(bool echo);
    static bool ConsoleEcho();
    // Where the console copy goes: standard output by default; a tool whose
    // standard output carries its results sends it to standard error.
    static void SetConsoleStream(FILE* stream);

    // The folder that holds the log file ("" when it cannot be determined).
    static const char* GetWorkPath();

    // Process-wide logger; logs a start line when created and an exit line
    // when destroyed at process exit. Raises the core-file and open-file
    // limits as far as the system allows.
    static CatchExeception& Instance();

    // Routes SIGILL, SIGABRT, SIGBUS and SIGSEGV to SignalHandle, which
    // prints the call stack to standard output; returns 0.
    static int Install();
    static void SignalHandle(int sig);

    CatchExeception(const CatchExeception&) = delete;
    CatchExeception& operator=(const CatchExeception&) = delete;

private:
    CatchExeception();
    ~CatchExeception();
};
