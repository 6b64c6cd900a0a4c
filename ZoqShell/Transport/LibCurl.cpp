#include "ZoqShell/Transport/LibCurl.h"

#include "ZoqShell/Transport/TransportUnavailable.h"

#include <dlfcn.h>
#include <string>

namespace zoq::curl {
namespace {

// The soname the headers were written for: its ABI has been stable since 2006.
constexpr const char* soname = "libcurl.so.4";

template <typename Function>
void resolve(void* handle, const char* name, Function& function) {
    void* symbol = ::dlsym(handle, name);
    if (symbol == nullptr) {
        throw TransportUnavailable::network(std::string(soname) + " has no " + name);
    }
    function = reinterpret_cast<Function>(symbol);
}

Library load() {
    // RTLD_NODELETE: handles, URLs and libcurl's global state outlive every
    // reference zoq keeps to the library.
    void* handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
        const char* error = ::dlerror();
        throw TransportUnavailable::network(std::string("libcurl could not be loaded: ") +
                                            (error != nullptr ? error : soname));
    }
    Library library{};
    resolve(handle, "curl_global_init", library.global_init);
    resolve(handle, "curl_easy_init", library.easy_init);
    resolve(handle, "curl_easy_cleanup", library.easy_cleanup);
    resolve(handle, "curl_easy_reset", library.easy_reset);
    resolve(handle, "curl_easy_setopt", library.easy_setopt);
    resolve(handle, "curl_easy_perform", library.easy_perform);
    resolve(handle, "curl_easy_getinfo", library.easy_getinfo);
    resolve(handle, "curl_easy_strerror", library.easy_strerror);
    resolve(handle, "curl_slist_append", library.slist_append);
    resolve(handle, "curl_slist_free_all", library.slist_free_all);
    resolve(handle, "curl_url", library.url);
    resolve(handle, "curl_url_cleanup", library.url_cleanup);
    resolve(handle, "curl_url_set", library.url_set);
    resolve(handle, "curl_url_get", library.url_get);
    resolve(handle, "curl_free", library.free);
    resolve(handle, "curl_getdate", library.getdate);
    return library;
}

} // namespace

const Library& library() {
    static const Library loaded = load();
    return loaded;
}

} // namespace zoq::curl
