#include "modules/module_library.h"

#include <dlfcn.h>

#include <wx/dynlib.h>

#include "modules/module_images.h"

wxDynamicLibrary* OpenModuleLibrary(const std::string& path, std::string& reason)
{
    // An empty path would open the program itself.
    if (path.empty()) {
        reason = "empty file name";
        return nullptr;
    }
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* text = dlerror();
        reason = text ? text : "unknown error";
        return nullptr;
    }
    AddModuleImage(handle, path.substr(path.rfind('/') + 1));
    wxDynamicLibrary* library = new wxDynamicLibrary;
    library->Attach(handle);
    return library;
}

OrvEntryPoint FindEntryPoint(const wxDynamicLibrary& library, const char* name)
{
    return reinterpret_cast<OrvEntryPoint>(library.RawGetSymbol(name));
}

void ReleaseModuleLibrary(wxDynamicLibrary* library)
{
    if (!library)
        return;
    if (library->IsLoaded()) {
        RemoveModuleImage(library->GetLibHandle());
        library->Unload();
    }
    delete library;
}
