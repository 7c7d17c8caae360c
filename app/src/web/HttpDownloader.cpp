#include "app/web/HttpDownloader.h"

#include "CurlEasy.h"
#include "platform/fs.h"

#include <filesystem>
#include <memory>

using orvix::web::CurlEasy;
using platform::TextView;

namespace {

struct UrlHandle {
    CURLU* u = curl_url();
    ~UrlHandle() { curl_url_cleanup(u); }
    std::string part(CURLUPart which) const {
        char* value = nullptr;
        std::string out;
        if (curl_url_get(u, which, &value, 0) == CURLUE_OK && value)
            out = value;
        curl_free(value);
        return out;
    }
};

struct BodyWriter {
    CURL* handle = nullptr;
    platform::File* file = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    const CHttpDownloader::ProgressFn* progress = nullptr;
    std::uint64_t received = 0;
    std::uint64_t expected = 0;
    std::uint64_t max_size = 0;
    bool cancelled = false;
    bool not_ok = false;
    bool too_large = false;
    std::uint32_t write_error = 0;

    static size_t write(char* ptr, size_t size, size_t count, void* user) {
        auto* self = static_cast<BodyWriter*>(user);
        const size_t n = size * count;
        long status = 0;
        curl_easy_getinfo(self->handle, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200) {
            self->not_ok = true; // an error page is not the file
            return CURL_WRITEFUNC_ERROR;
        }
        if (*self->cancel) {
            self->cancelled = true;
            return CURL_WRITEFUNC_ERROR;
        }
        if (self->expected == 0) {
            curl_off_t length = -1;
            curl_easy_getinfo(self->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            if (length > 0)
                self->expected = static_cast<std::uint64_t>(length);
        }
        if (self->received + n > self->max_size) {
            self->too_large = true;
            return CURL_WRITEFUNC_ERROR;
        }
        if (const std::uint32_t err = self->file->write(ptr, n)) {
            self->write_error = err;
            return CURL_WRITEFUNC_ERROR;
        }
        self->received += n;
        if (*self->progress)
            (*self->progress)(self->received, self->expected);
        if (*self->cancel) {
            self->cancelled = true;
            return CURL_WRITEFUNC_ERROR;
        }
        return n;
    }
};

} // namespace

int CHttpDownloader::Download(TextView url, TextView localPath, TextView agent) {
    m_nStatus = 0;
    m_nExpected = 0;
    m_bCancel = false;
    m_strError.clear();

    UrlHandle parsed;
    const std::string url8 = platform::utf16_to_utf8(url);
    if (!parsed.u || curl_url_set(parsed.u, CURLUPART_URL, url8.c_str(), 0) != CURLUE_OK) {
        m_strError = "the URL cannot be parsed";
        return kBadUrl;
    }
    const std::string scheme = parsed.part(CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https") {
        m_strError = "only http and https are supported";
        return kBadUrl;
    }
    const std::string target = parsed.part(CURLUPART_URL);

    const std::filesystem::path final_path = platform::to_path(localPath);
    if (final_path.empty() || !final_path.has_filename()) {
        m_strError = "no local file name";
        return kTransport;
    }
    if (final_path.has_parent_path()) {
        if (const std::uint32_t err = platform::create_directories(final_path.parent_path())) {
            m_strError = "cannot create the folder (system error " + std::to_string(err) + ")";
            return kTransport;
        }
    }
    std::filesystem::path part_path = final_path;
    part_path += ".partial";
    std::uint32_t open_error = 0;
    platform::File file = platform::File::open(part_path, platform::FileAccess::Write,
                                               platform::FileDisposition::CreateAlways,
                                               platform::FileShare::Exclusive, &open_error);
    if (!file.is_open()) {
        m_strError = "cannot create the file (system error " + std::to_string(open_error) + ")";
        return kTransport;
    }
    auto discard = [&] {
        file.close();
        std::error_code ec;
        std::filesystem::remove(part_path, ec);
    };

    CurlEasy curl;
    if (!curl.valid()) {
        discard();
        m_strError = "the HTTP library could not be initialised";
        return kTransport;
    }
    const platform::Text& ua = agent.empty() ? m_strAppName : platform::Text(agent);
    curl.apply_common(m_timeouts, platform::utf16_to_utf8(ua));
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, target.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(kBlockSize));
    BodyWriter writer;
    writer.handle = h;
    writer.file = &file;
    writer.cancel = &m_bCancel;
    writer.progress = &m_fnProgress;
    writer.max_size = m_nMaxSize;
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &BodyWriter::write);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &writer);
    // A cancel is also seen while no data flows.
    curl.set_cancel_flag(&m_bCancel);

    const CURLcode rc = curl.perform();
    m_nStatus = curl.response_code();
    m_nExpected = writer.expected;

    int result = kOk;
    if (writer.cancelled || curl.cancelled() || m_bCancel) {
        m_strError = "cancelled";
        result = kCancelled;
    } else if (m_nStatus != 0 && m_nStatus != 200 && rc != CURLE_TOO_MANY_REDIRECTS) {
        m_strError = "HTTP status " + std::to_string(m_nStatus);
        result = kHttpStatus;
    } else if (writer.too_large) {
        m_strError = "the body exceeds " + std::to_string(m_nMaxSize) + " bytes";
        result = kTransport;
    } else if (writer.write_error) {
        m_strError =
            "cannot write the file (system error " + std::to_string(writer.write_error) + ")";
        result = kTransport;
    } else if (rc != CURLE_OK) {
        m_strError = curl.error_message(rc);
        result = kTransport;
    } else if (m_nStatus == 0) {
        m_strError = "no response headers";
        result = kNoHeaders;
    } else if (writer.expected != 0 && writer.received != writer.expected) {
        m_strError = "the body is shorter than announced";
        result = kTransport;
    }

    if (result == kOk) {
        if (const std::uint32_t err = file.flush()) {
            m_strError = "cannot write the file (system error " + std::to_string(err) + ")";
            result = kTransport;
        }
    }
    if (result != kOk) {
        discard();
        return result;
    }
    file.close();
    std::error_code ec;
    std::filesystem::rename(part_path, final_path, ec);
    if (ec) {
        m_strError = "cannot rename the file: " + ec.message();
        std::filesystem::remove(part_path, ec);
        return kTransport;
    }
    return kOk;
}
