#include "app/orvantis_app.h"

#include <unistd.h>

#include <wx/snglinst.h>

#include "app/executable_path.h"
#include "core/core.h"

Core* theCore = nullptr;

std::string OrvantisApp::startName;

wxIMPLEMENT_CLASS(OrvantisApp, wxEvtHandler);

OrvantisApp::OrvantisApp()
    : instanceChecker(nullptr),
      foreground(false)
{
}

OrvantisApp::~OrvantisApp()
{
    UnlockInstance();
}

void OrvantisApp::SetStartName(const char* name)
{
    startName = name ? name : "";
}

void OrvantisApp::OnInitCmdLine(wxCmdLineParser& parser)
{
    wxAppConsole::OnInitCmdLine(parser);
    static const wxCmdLineEntryDesc entries[] = {
        {wxCMD_LINE_SWITCH, "d", "debug", "do not daemonize", wxCMD_LINE_VAL_NONE, wxCMD_LINE_PARAM_OPTIONAL},
        {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, 0},
    };
    parser.SetDesc(entries);
}

bool OrvantisApp::OnCmdLineParsed(wxCmdLineParser& parser)
{
    if (!wxAppConsole::OnCmdLineParsed(parser))
        return false;
    foreground = parser.Found("debug");
    return LockInstance();
}

bool OrvantisApp::LockInstance()
{
    instanceChecker = new wxSingleInstanceChecker("Orvantis", wxEmptyString);
    if (!instanceChecker->IsAnotherRunning())
        return true;
    UnlockInstance();
    wxLogError(_("Orvantis is already running.  Stop Orvantis first."));
    return false;
}

void OrvantisApp::UnlockInstance()
{
    delete instanceChecker;
    instanceChecker = nullptr;
}

bool OrvantisApp::OnInit()
{
    if (!wxAppConsole::OnInit())
        return false;
    executablePath = FindExecutablePath(startName);
    MoveToExecutableDirectory();
    theCore = new Core(executablePath);
    return true;
}

// Every relative file name of the service (plug-in folders, status
// documents) resolves against the executable's directory.
void OrvantisApp::MoveToExecutableDirectory()
{
    std::string directory = DirectoryOf(executablePath);
    if (!directory.empty() && chdir(directory.c_str()) != 0)
        wxLogSysError("Could not set the working directory to '%s'", wxString::FromUTF8(directory.c_str()));
}

int OrvantisApp::OnExit()
{
    delete theCore;
    theCore = nullptr;
    return wxAppConsole::OnExit();
}
