#include "app/executable_path.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <wx/filefn.h>
#include <wx/filename.h>

namespace {

// Every normalisation but case folding. wxPATH_NORM_ALL says the same but is
// deprecated.
const int kNormalisation = wxPATH_NORM_ENV_VARS | wxPATH_NORM_DOTS | wxPATH_NORM_TILDE | wxPATH_NORM_ABSOLUTE |
                           wxPATH_NORM_LONG | wxPATH_NORM_SHORTCUT;

std::string BytesOf(const wxString& text)
{
    wxCharBuffer bytes = text.fn_str();
    return bytes.data() ? std::string(bytes.data()) : std::string();
}

// False when `bytes` do not survive the library's file-name conversion.
bool ToText(const std::string& bytes, wxString* text)
{
    wxString converted(bytes.c_str(), *wxConvFileName);
    if (BytesOf(converted) != bytes)
        return false;
    *text = converted;
    return true;
}

std::string RunningExecutable()
{
    char target[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", target, sizeof(target));
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

bool IsExistingFile(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

std::string SearchPath(const std::string& bareName)
{
    wxString name;
    if (bareName.empty() || !ToText(bareName, &name))
        return std::string();
    wxPathList directories;
    directories.AddEnvList("PATH");
    return BytesOf(directories.FindAbsoluteValidPath(name));
}

std::string Normalised(const std::string& path)
{
    wxString text;
    if (path.empty() || !ToText(path, &text))
        return std::string();
    wxFileName name(text);
    name.Normalize(kNormalisation);
    return BytesOf(name.GetFullPath());
}

}  // namespace

std::string FindExecutablePath(const std::string& startName)
{
    const bool bare = startName.find('/') == std::string::npos;
    std::string path = Normalised(bare ? SearchPath(startName) : startName);
    return IsExistingFile(path) ? path : RunningExecutable();
}

std::string DirectoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}
