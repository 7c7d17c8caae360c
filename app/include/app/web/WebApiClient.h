#pragma once
// CWebApiClient: the client of the provider's web API on the control server. Each operation
// sends one synchronous request "<server URL><operation>.do?<query>" and returns the integer
// result code of the answer:
//   - the number on the first line of the reply (a reply without a number there gives 0),
//   - 998 when the server answered with an HTTP status other than 200,
//   - 999 when there was no connection or the transfer failed (the error text grows).
// One object per user; not shared between threads.
#include "app/web/HttpSession.h"
#include "platform/text.h"

#include <string>

class CWebApiClient {
  public:
    // Result codes made by the client itself.
    static constexpr int kHttpStatusError = 998;
    static constexpr int kTransportError = 999;
    // Replies are read up to this many bytes; the rest is not fetched.
    static constexpr std::size_t kMaxReply = 1024;
    // Length limits of the query text (characters) and of the request body (bytes).
    static constexpr std::size_t kMaxQuery = 512;
    static constexpr std::size_t kMaxBody = 256;
    // The error text keeps at most this many characters (the newest).
    static constexpr std::size_t kMaxErrorText = 16 * 1024;

    CWebApiClient();

    // The base of every request; the operation name is appended to it directly, so it normally
    // ends with "/".
    void SetServerUrl(platform::TextView url) { m_strServerUrl = url; }
    const platform::Text& GetServerUrl() const { return m_strServerUrl; }
    void SetAccount(platform::TextView userId, platform::TextView password);

    int confirmPass(platform::TextView userId);
    int confirmAuthUrl(platform::TextView userId);
    int createAccount(platform::TextView userId, platform::TextView password);
    int changePassword(platform::TextView newPassword);
    int setFilteringLevel(int level);
    int getProperties();

    // Result code of the last request. Before the first request, and after a request that could
    // not be sent because the server URL is malformed, it is 999: no answer from any server.
    int GetResult() const { return m_nResult; }
    // Text after the first line of the last reply (empty when the reply had only a code).
    const platform::Text& GetReplyText() const { return m_strReplyText; }
    // Messages of the transport failures met so far, one per line.
    const platform::Text& GetErrorText() const { return m_strErrorText; }

    void SetTimeouts(const orvix::web::HttpTimeouts& timeouts) { m_timeouts = timeouts; }

    // Percent-encoding of a value (passwords): UTF-8 bytes; a space becomes "%20"; '.', '/',
    // digits and ASCII letters stay; every other byte becomes "%XX" (upper-case hex).
    static platform::Text EncodeValue(platform::TextView value);

  private:
    int Request(const char* operation, const platform::Text& query);
    void AppendError(const std::string& message);

    platform::Text m_strErrorText;
    platform::Text m_strServerUrl;
    platform::Text m_strUserId;
    platform::Text m_strPassword;
    int m_nResult = kTransportError;
    platform::Text m_strReplyText;
    orvix::web::HttpTimeouts m_timeouts;
};
