#pragma once
// The self-update check: version.ini next to the program names the installed version and the
// address of the published version.ini; when the published file names another version the user
// is asked, the installer (and an optional second file) is downloaded to the temporary folder and
// started through the shell.
#include "app/web/HttpDownloader.h"
#include "platform/text.h"

#include <filesystem>
#include <functional>
#include <mutex>

// The contents of one version.ini.
class CVersionInfoFile {
  public:
    static constexpr std::size_t kVersionChars = 63;
    static constexpr std::size_t kUrlChars = 1023;

    // Reads `fileName` in `directory`; missing files, sections and keys read as empty.
    void Read(const std::filesystem::path& directory, platform::TextView fileName);

    platform::Text m_strCurrentVersion; // [Version] CurrentVersion
    platform::Text m_strVersionUrl;     // [UpDate] VersionURL
    platform::Text m_strExecDlUrl;      // [UpDate] ExecDLURL
    platform::Text m_strDlUrl;          // [UpDate] DLURL
    std::filesystem::path m_path;
};

class CUpdateCheck {
  public:
    static constexpr const char16_t* kVersionFile = u"version.ini";
    static constexpr const char16_t* kAgent = u"Orvix";
    // String table id of the update question.
    static constexpr std::uint32_t kQuestionId = 2108;

    // Asks the user (Yes/No) with the given text; true for Yes.
    using AskFn = std::function<bool(const platform::Text& question)>;
    // Starts the downloaded installer; returns a system error code. Default: the shell's open.
    using StartFn = std::function<std::uint32_t(const std::filesystem::path& installer)>;

    CUpdateCheck();

    void SetAsk(AskFn ask) { m_fnAsk = std::move(ask); }
    void SetStart(StartFn start) { m_fnStart = std::move(start); }
    void SetProgress(CHttpDownloader::ProgressFn progress) { m_fnProgress = std::move(progress); }
    void SetTimeouts(const orvix::web::HttpTimeouts& timeouts) { m_timeouts = timeouts; }
    // Cancels a running download (from the progress callback or another thread).
    void Cancel();

    // Runs the check once. True when the user accepted an update and the installer was started;
    // the caller then ends the application.
    bool Run();

    // The local file name of a download: the text after the last '/' of the URL (the whole URL
    // when there is none). Empty when that text cannot name a file in the temporary folder
    // (empty, ".", "..", or holding a backslash).
    static platform::Text DownloadFileName(platform::TextView url);

    const CVersionInfoFile& Installed() const { return m_installed; }
    const CVersionInfoFile& Published() const { return m_published; }
    const std::filesystem::path& InstallerPath() const { return m_installerPath; }

  private:
    int DownloadTo(platform::TextView url, const std::filesystem::path& path);
    bool DownloadToTemp(platform::TextView url, std::filesystem::path& path);

    CVersionInfoFile m_installed;
    CVersionInfoFile m_published;
    std::filesystem::path m_installerPath;
    AskFn m_fnAsk;
    StartFn m_fnStart;
    CHttpDownloader::ProgressFn m_fnProgress;
    orvix::web::HttpTimeouts m_timeouts{std::chrono::milliseconds(60'000),
                                        std::chrono::milliseconds(30'000),
                                        std::chrono::milliseconds(0)};
    std::mutex m_lock; // guards m_pActive and m_bCancelled against Cancel() from another thread
    CHttpDownloader* m_pActive = nullptr;
    bool m_bCancelled = false;
};
