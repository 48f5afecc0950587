#pragma once
// Loads a build of the client library at run time (dlopen) and resolves
// its exports, for the programs that measure or exercise a library file
// rather than the one they were linked with: the soak tool, and the wire
// benchmark's side-by-side runs of two builds.
#include <dlfcn.h>

#include <string>

namespace zavo {

// Opens `path` with local symbol binding, so that the ZAVO_ functions of
// one copy never bind the calls of another copy loaded beside it. Null with
// the reason in *why on failure.
inline void* OpenLibrary(const std::string& path, std::string* why) {
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    const char* err = dlerror();
    *why = err != nullptr ? err : "dlopen failed";
  }
  return lib;
}

// Resolves the export `name` of `lib` into *out. False, with the reason in
// *why, when the library has no such export.
template <typename Fn>
bool ResolveExport(void* lib, const char* name, Fn* out, std::string* why) {
  void* sym = dlsym(lib, name);
  if (sym == nullptr) {
    *why = std::string("missing export ") + name;
    return false;
  }
  *out = reinterpret_cast<Fn>(sym);
  return true;
}

}  // namespace zavo
