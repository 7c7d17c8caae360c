#pragma once
// CHttpDownloader: fetches one URL into a local file, in blocks of 8192 bytes, on the calling
// thread. The file is written under a temporary name beside the target and renamed only when the
// whole body arrived, so a failed or cancelled download never leaves a partial file under the
// final name.
#include "app/web/HttpSession.h"
#include "platform/text.h"

#include <atomic>
#include <cstdint>
#include <functional>

class CHttpDownloader {
  public:
    // Results of Download.
    static constexpr int kOk = 0;
    static constexpr int kBadUrl = -1;     // the URL could not be parsed
    static constexpr int kHttpStatus = -2; // the server answered with a status other than 200
    static constexpr int kNoHeaders = -3;  // no response headers
    static constexpr int kTransport = -4;  // connection or transfer failure, or a local file error
    static constexpr int kCancelled = -11; // Cancel() was called

    static constexpr std::size_t kBlockSize = 8192;

    // Called after each block with the bytes written so far and the expected length (0 when the
    // server gave none). The tray application keeps its window responsive from here.
    using ProgressFn = std::function<void(std::uint64_t received, std::uint64_t expected)>;

    CHttpDownloader() = default;

    // Downloads `url` to `localPath` (its missing parent folders are created; an existing file is
    // replaced). `agent` is sent as the User-Agent; empty: the application's name.
    int Download(platform::TextView url, platform::TextView localPath, platform::TextView agent);

    // Stops a running download at the next block; may be called from the progress callback or
    // from another thread.
    void Cancel() { m_bCancel = true; }

    void SetProgress(ProgressFn progress) { m_fnProgress = std::move(progress); }
    void SetAppName(platform::TextView name) { m_strAppName = name; }
    void SetTimeouts(const orvix::web::HttpTimeouts& timeouts) { m_timeouts = timeouts; }
    // A body larger than this fails with kTransport (protects the disk from endless bodies).
    void SetMaxSize(std::uint64_t bytes) { m_nMaxSize = bytes; }

    // HTTP status of the last download (0 when none arrived).
    long GetStatus() const { return m_nStatus; }
    std::uint64_t GetExpectedLength() const { return m_nExpected; }
    // Transport error message of the last download (empty when none).
    const std::string& GetErrorText() const { return m_strError; }

  private:
    ProgressFn m_fnProgress;
    platform::Text m_strAppName = u"Orvix";
    long m_nStatus = 0;
    std::atomic<bool> m_bCancel{false};
    std::uint64_t m_nExpected = 0;
    std::uint64_t m_nMaxSize = 1ull << 30;
    std::string m_strError;
    // Installers are large: no overall limit by default, only the idle limit and Cancel().
    orvix::web::HttpTimeouts m_timeouts{std::chrono::milliseconds(60'000),
                                        std::chrono::milliseconds(30'000),
                                        std::chrono::milliseconds(0)};
};
