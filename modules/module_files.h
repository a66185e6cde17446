// Finding module files: the two plug-in directories beside the executable and
// the qualifying files in each.
//
// Paths are byte strings. Candidates are kept in path order: component by
// component, each pair of components compared as unsigned bytes, a proper
// prefix first; so every file of "plugins" precedes every file of
// "protected-plugins", and *ab.so* precedes *ab_x.so*.
#pragma once

#include <set>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

using CandidateSet = std::set<boost::filesystem::path>;

// The directories searched for modules, in search order: "plugins" and then
// "protected-plugins" in the directory of `executablePath`.
std::vector<std::string> PluginDirectories(const std::string& executablePath);

// Adds to `candidates` the full path of every entry of `directory` (not
// recursive) that is a regular file, symbolic links followed, and whose name
// ends in `extension` taken from its last ".", byte for byte. A directory
// that is missing or fails ends only its own scan; an entry that fails is
// skipped. Nothing is logged.
void FindModuleFiles(const std::string& directory, const std::string& extension, CandidateSet& candidates);
