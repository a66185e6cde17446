#include "modules/module_files.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {

std::string JoinPath(const std::string& directory, const std::string& name)
{
    if (!directory.empty() && directory.back() == '/')
        return directory + name;
    return directory + "/" + name;
}

// The directory part of `path`, without a trailing "/" except for the root.
std::string DirectoryOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool HasExtension(const std::string& name, const std::string& extension)
{
    size_t dot = name.rfind('.');
    std::string own = dot == std::string::npos ? std::string() : name.substr(dot);
    return own == extension;
}

}  // namespace

std::vector<std::string> PluginDirectories(const std::string& executablePath)
{
    const std::string base = DirectoryOf(executablePath);
    return {JoinPath(base, "plugins"), JoinPath(base, "protected-plugins")};
}

void FindModuleFiles(const std::string& directory, const std::string& extension, CandidateSet& candidates)
{
    boost::system::error_code ec;
    if (!fs::is_directory(fs::path(directory), ec) || ec)
        return;
    fs::directory_iterator it(fs::path(directory), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        boost::system::error_code entryError;
        // Follows a symbolic link when the entry's own type says it is one.
        fs::file_status status = it->status(entryError);
        if (entryError || !fs::is_regular_file(status))
            continue;
        const std::string name = it->path().filename().string();
        if (HasExtension(name, extension))
            candidates.insert(fs::path(JoinPath(directory, name)));
    }
}
