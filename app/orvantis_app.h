// The application object: command line, single-instance lock, the
// executable's own path and working directory, and ownership of the Core.
// OnRun, which runs the service as a daemon or in the foreground, lives in
// app/runner.cpp.
//
// Thread safety: everything here runs on the main thread, before the Core's
// threads start and after they have stopped.
//
// Invariants:
//  - While the service runs, the process that runs it holds the single-
//    instance lock, with its own pid in the lock file: in the foreground from
//    the command-line check on, in daemon mode from just after the fork (the
//    launcher lets go of its lock before forking, so that its exit does not
//    remove the daemon's lock file).
//  - theCore is non-null from OnInit's success until OnExit.
#pragma once

#include <string>

#include <wx/app.h>
#include <wx/cmdline.h>

class Core;
class wxSingleInstanceChecker;

// The one Core of the process; owned through this pointer.
extern Core* theCore;

class OrvantisApp : public wxAppConsole {
public:
    OrvantisApp();
    // Releases the single-instance lock.
    ~OrvantisApp() override;
    OrvantisApp(const OrvantisApp&) = delete;
    OrvantisApp& operator=(const OrvantisApp&) = delete;

    // The program name exactly as started (argv[0]'s bytes); main() stores it
    // before the library decodes, and possibly mangles, the arguments.
    static void SetStartName(const char* name);

    // Parses the command line, refuses to run beside another copy, finds the
    // executable, moves into its directory and creates the Core.
    bool OnInit() override;
    // Runs the service until it is told to stop; the result is the exit status.
    int OnRun() override;
    // Destroys the Core (already stopped by OnRun).
    int OnExit() override;
    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;

private:
    // Takes the single-instance lock; false (after logging the error) when
    // another copy holds it.
    bool LockInstance();
    void UnlockInstance();
    void MoveToExecutableDirectory();

    // Runs the Core until a key press (or the end of standard input).
    int RunForeground();
    // Forks; the launcher waits for the daemon's start-up status.
    int RunDaemon();
    // The daemon process: runs the Core until a stop signal arrives.
    int RunAsDaemon();

    static std::string startName;

    wxSingleInstanceChecker* instanceChecker;  // owning; null while no lock is held
    std::string executablePath;  // absolute and normalised after OnInit, as bytes
    bool foreground;             // the "debug" switch: run attached to the terminal

    wxDECLARE_CLASS(OrvantisApp);
};
