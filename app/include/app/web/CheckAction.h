#pragma once
// Reachability probes: CheckAction is the base, HTTPCheckAction asks whether a server answers
// HTTP at all (any status counts).
#include "app/web/HttpSession.h"
#include "platform/text.h"

class CheckAction {
  public:
    CheckAction(platform::TextView source, platform::TextView key);
    virtual ~CheckAction() = default;
    CheckAction(const CheckAction&) = delete;
    CheckAction& operator=(const CheckAction&) = delete;

    // The source text.
    virtual platform::Text GetDescription();
    // Runs the check; afterwards GetResult() is 0 when it succeeded and 1 when it failed.
    virtual void Check() = 0;
    // "<key>=<result>"; also kept as the result text.
    virtual platform::Text GetResultText();

    int GetResult() const { return m_nResult; }
    const platform::Text& GetKey() const { return m_strKey; }
    const platform::Text& GetSource() const { return m_strSource; }

  protected:
    int m_nResult = 1;
    platform::Text m_strResultText;
    platform::Text m_strKey;
    platform::Text m_strSource;
};

class HTTPCheckAction : public CheckAction {
  public:
    // Connection attempts of one probe: the first and two retries.
    static constexpr int kConnectAttempts = 3;

    HTTPCheckAction(platform::TextView source, platform::TextView key, platform::TextView url);

    // "<source> to <target URL>".
    platform::Text GetDescription() override;
    // Sends a POST without body to the target URL (agent "OrvixClient"). Any answer, whatever its
    // status, gives 0; no answer gives 1, and so does a target URL that cannot be split.
    void Check() override;
    // "<key>=<result>&<key>_URL=<target URL>".
    platform::Text GetResultText() override;

    const platform::Text& GetUrl() const { return m_strUrl; }
    // Status code of the answer (0 when there was none) and its raw headers.
    long GetStatusCode() const { return m_nStatus; }
    const std::string& GetRawHeaders() const { return m_strRawHeaders; }

    void SetTimeouts(const orvix::web::HttpTimeouts& timeouts) { m_timeouts = timeouts; }

  private:
    platform::Text m_strUrl;
    long m_nStatus = 0;
    std::string m_strRawHeaders;
    orvix::web::HttpTimeouts m_timeouts;
};
