// The files of the status documents beside the executable ("plugins.xml",
// "core.xml"): an administrator or a package may put anything under those
// names, so only a regular file is ever read or written.
//
// Each file is opened without blocking (a FIFO with no peer cannot hold up
// the service) and checked on the open descriptor, so what is checked is what
// is read or written. A symbolic link to a regular file is followed: its
// target is read and rewritten in place and the link stays.
//
// Thread safety: none needed; each call works on its own descriptor.
#pragma once

#include <cstddef>
#include <string>

class TiXmlDocument;

namespace StatusFile {

// Reads the whole of `name` into `bytes`. False when it cannot be used:
// `reason` then says why for a file that is there but is not a regular file
// or is larger than `limit` bytes, and stays empty for a missing or
// unreadable one.
bool read(const char* name, size_t limit, std::string& bytes, std::string& reason);

// Replaces the content of `name` with `document` in TinyXML's file form
// (SaveFile's bytes), creating the file when it is missing. False when it
// could not be written: `reason` then says why for something other than a
// regular file, and stays empty for a plain failure to create or write.
bool save(const char* name, const TiXmlDocument& document, std::string& reason);

}  // namespace StatusFile
