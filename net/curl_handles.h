#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "velmora/error.h"

namespace velmora::detail {

struct CurlEasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct CurlMultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlUrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

/// Appends a line to a header list; on failure the list stays as it was, and false says so.
inline bool appendHeader(CurlList& list, const char* line) {
    curl_slist* head = curl_slist_append(list.get(), line);
    if (!head) return false;
    (void)list.release();  // `head` is the same list, grown, or a new one when it was empty
    list.reset(head);
    return true;
}

/// The "NSURLErrorDomain" code that hosts test for, for a libcurl result.
int64_t urlErrorCode(CURLcode code);

/// A transport error record: the mapped code, libcurl's text (the detail of `errorBuffer` when
/// it has one) and the failing URL, each with any token redacted.
QelErrorPtr makeURLError(CURLcode code, const char* errorBuffer, const std::string& url);

}  // namespace velmora::detail
