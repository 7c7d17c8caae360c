#include "app/web/UpdateCheck.h"

#include "platform/fs.h"
#include "platform/module.h"
#include "platform/process.h"

#include <chrono>
#include <thread>

using platform::Text;
using platform::TextView;

void CVersionInfoFile::Read(const std::filesystem::path& directory, TextView fileName) {
    m_path = directory / platform::to_path(fileName);
    m_strCurrentVersion = platform::read_profile_string(m_path, u"Version", u"CurrentVersion", u"",
                                                        kVersionChars + 1);
    m_strVersionUrl =
        platform::read_profile_string(m_path, u"UpDate", u"VersionURL", u"", kUrlChars + 1);
    m_strExecDlUrl =
        platform::read_profile_string(m_path, u"UpDate", u"ExecDLURL", u"", kUrlChars + 1);
    m_strDlUrl = platform::read_profile_string(m_path, u"UpDate", u"DLURL", u"", kUrlChars + 1);
}

CUpdateCheck::CUpdateCheck()
    : m_fnStart([](const std::filesystem::path& installer) {
          return platform::shell_open(platform::from_path(installer));
      }) {}

void CUpdateCheck::Cancel() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bCancelled = true;
    if (m_pActive)
        m_pActive->Cancel();
}

Text CUpdateCheck::DownloadFileName(TextView url) {
    const auto slash = url.rfind(u'/');
    Text name(slash == TextView::npos ? url : url.substr(slash + 1));
    // The name must stay inside the temporary folder.
    if (name.empty() || name == u"." || name == u".." || name.find(u'\\') != Text::npos ||
        name.find(u'\0') != Text::npos)
        return {};
    return name;
}

int CUpdateCheck::DownloadTo(TextView url, const std::filesystem::path& path) {
    CHttpDownloader downloader;
    downloader.SetTimeouts(m_timeouts);
    downloader.SetProgress(m_fnProgress);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bCancelled)
            return CHttpDownloader::kCancelled;
        m_pActive = &downloader;
    }
    const int result = downloader.Download(url, platform::from_path(path), kAgent);
    std::lock_guard<std::mutex> guard(m_lock);
    m_pActive = nullptr;
    return result;
}

bool CUpdateCheck::DownloadToTemp(TextView url, std::filesystem::path& path) {
    const Text name = DownloadFileName(url);
    if (name.empty())
        return false;
    std::error_code ec;
    std::filesystem::path temp = platform::known_folder(platform::KnownFolder::Temp);
    if (auto full = std::filesystem::weakly_canonical(temp, ec); !ec)
        temp = full;
    path = temp / platform::to_path(name);
    return DownloadTo(url, path) == CHttpDownloader::kOk;
}

bool CUpdateCheck::Run() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bCancelled = false;
    }
    m_installerPath.clear();
    const std::filesystem::path programDir =
        platform::known_folder(platform::KnownFolder::ProgramFolder);
    m_installed.Read(programDir, kVersionFile);
    if (m_installed.m_strVersionUrl.empty())
        return false;

    const Text newName = Text(u"new-") + kVersionFile;
    const std::filesystem::path newPath = programDir / platform::to_path(newName);
    if (DownloadTo(m_installed.m_strVersionUrl, newPath) != CHttpDownloader::kOk)
        return false;
    m_published.Read(programDir, newName);
    std::error_code ec;
    std::filesystem::remove(newPath, ec);

    // A published file without a version or without an installer address offers nothing to
    // install (an error page delivered with status 200 reads this way).
    if (m_published.m_strCurrentVersion.empty() || m_published.m_strExecDlUrl.empty())
        return false;
    if (m_published.m_strCurrentVersion == m_installed.m_strCurrentVersion)
        return false;

    if (!m_fnAsk || !m_fnAsk(platform::load_string(kQuestionId)))
        return false;

    std::filesystem::path installer;
    if (!DownloadToTemp(m_published.m_strExecDlUrl, installer))
        return false;
    if (!m_published.m_strDlUrl.empty()) {
        std::filesystem::path second;
        if (!DownloadToTemp(m_published.m_strDlUrl, second))
            return false;
    }
    m_installerPath = installer;

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // A downloaded program carries no execute permission on this system; the installer is meant
    // to run, as its counterpart does when the shell opens it.
    std::filesystem::permissions(installer,
                                 std::filesystem::perms::owner_exec |
                                     std::filesystem::perms::group_exec |
                                     std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add, ec);
    return m_fnStart && m_fnStart(installer) == 0;
}
