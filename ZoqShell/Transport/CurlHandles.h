#pragma once

#include <curl/curl.h>
#include <memory>

namespace zoq::curl {

// Owning handles for the libcurl objects the transport uses; nothing else.

struct EasyDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

struct UrlDeleter {
    void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

struct StringDeleter {
    void operator()(char* text) const noexcept { curl_free(text); }
};
using String = std::unique_ptr<char, StringDeleter>;

} // namespace zoq::curl
