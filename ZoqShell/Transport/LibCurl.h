#pragma once

#include <curl/curl.h>

namespace zoq::curl {

/// The libcurl functions zoq calls, resolved from libcurl.so.4 the first time
/// one is needed. libcurl brings a TLS stack, Kerberos, LDAP and SSH with it,
/// which cost a tray program that mostly waits for calls milliseconds at start
/// and megabytes of memory it may not need for a long while: until the first
/// upload or the first portal address is read, none of it is loaded.
struct Library {
    decltype(&::curl_global_init) global_init;
    decltype(&::curl_easy_init) easy_init;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_easy_reset) easy_reset;
    decltype(&::curl_easy_setopt) easy_setopt;
    decltype(&::curl_easy_perform) easy_perform;
    decltype(&::curl_easy_getinfo) easy_getinfo;
    decltype(&::curl_easy_strerror) easy_strerror;
    decltype(&::curl_slist_append) slist_append;
    decltype(&::curl_slist_free_all) slist_free_all;
    decltype(&::curl_url) url;
    decltype(&::curl_url_cleanup) url_cleanup;
    decltype(&::curl_url_set) url_set;
    decltype(&::curl_url_get) url_get;
    decltype(&::curl_free) free;
    decltype(&::curl_getdate) getdate;
};

/// libcurl, loaded once for the whole process and never unloaded; safe to
/// call from any thread (the first call loads it, the others wait). Throws
/// TransportUnavailable::network naming what is missing when the library or
/// one of its functions cannot be found (a broken installation); a later call
/// tries again.
const Library& library();

} // namespace zoq::curl
