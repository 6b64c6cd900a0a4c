#pragma once

#include "ZoqShell/Transport/LibCurl.h"

#include <curl/curl.h>
#include <memory>

namespace zoq::curl {

// Owning handles for the libcurl objects the transport uses; nothing else. A
// handle exists only once the library is loaded, so a deleter never loads it.

struct EasyDeleter {
    void operator()(CURL* handle) const noexcept { library().easy_cleanup(handle); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

struct UrlDeleter {
    void operator()(CURLU* url) const noexcept { library().url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* list) const noexcept { library().slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

struct StringDeleter {
    void operator()(char* text) const noexcept { library().free(text); }
};
using String = std::unique_ptr<char, StringDeleter>;

} // namespace zoq::curl
