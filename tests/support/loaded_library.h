// Test helper: loads and unloads shared libraries as a host does (dlopen / LoadLibraryA), which
// the platform seam deliberately never does.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace loaded_library {

// Loads the library at `path` (a file name is searched for as the system does); null on failure.
inline void* load(const char* path) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(::LoadLibraryA(path));
#else
  return ::dlopen(path, RTLD_NOW | RTLD_GLOBAL);
#endif
}

// Gives back the reference `load` took.
inline bool unload(void* library) {
#if defined(_WIN32)
  return ::FreeLibrary(static_cast<HMODULE>(library)) != FALSE;
#else
  return ::dlclose(library) == 0;
#endif
}

// True while the library at `path` is mapped in the process; takes no reference.
inline bool is_mapped(const char* path) {
#if defined(_WIN32)
  return ::GetModuleHandleA(path) != nullptr;
#else
  void* library = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (library != nullptr) {
    ::dlclose(library);
  }
  return library != nullptr;
#endif
}

template <typename function> function symbol(void* library, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<function>(
      reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name)));
#else
  return reinterpret_cast<function>(::dlsym(library, name));
#endif
}

} // namespace loaded_library
