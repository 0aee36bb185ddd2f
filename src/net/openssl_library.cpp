// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/openssl_library.h"

#include <dlfcn.h>
#include <openssl/opensslv.h>

namespace kestrel::net {

namespace {

// The library the program was built against: libssl.so.3 for OpenSSL 3.
const std::string kLibraryName = "libssl.so." + std::to_string(OPENSSL_VERSION_MAJOR);

struct Loaded {
  OpenSslLibrary functions;
  bool ok = false;
  std::string failure;
};

Loaded Load() {
  Loaded loaded;
  // libssl brings libcrypto with it; both stay loaded until the process ends.
  void* handle = ::dlopen(kLibraryName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    loaded.failure = ::dlerror();
    return loaded;
  }
  std::string missing;
#define KESTREL_OPENSSL_LOAD(name)                                                     \
  loaded.functions.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  if (!loaded.functions.name && missing.empty()) missing = #name;
  KESTREL_OPENSSL_FUNCTIONS(KESTREL_OPENSSL_LOAD)
#undef KESTREL_OPENSSL_LOAD
  if (!missing.empty()) {
    loaded.failure = kLibraryName + " has no " + missing;
    return loaded;
  }
  loaded.ok = true;
  return loaded;
}

const Loaded& Library() {
  static const Loaded loaded = Load();
  return loaded;
}

}  // namespace

const OpenSslLibrary* OpenSsl() {
  return Library().ok ? &Library().functions : nullptr;
}

std::string LoadFailure() {
  return Library().failure;
}

}  // namespace kestrel::net
