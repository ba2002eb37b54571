// What orvex knows of the library it loads at run time (library.cpp).
#pragma once

#include <string>

namespace orvex::cli {

// Loads the library if need be; the real path of the file loaded (links resolved), e.g.
// /usr/lib/x86_64-linux-gnu/libORVEX_DLL.so.1.0.0. Throws Failure when it cannot be loaded.
std::string LoadedLibraryPath();

// The version in a library file name: "1.0.0" for ".../libORVEX_DLL.so.1.0.0"; empty when the
// name carries none.
std::string LibraryFileVersion(const std::string& path);

// Orvex_Cancel of the loaded library, safe in a signal handler. Before the library is loaded it
// does nothing: no library wait can be in progress then.
void CancelLibraryWaits();

}  // namespace orvex::cli
