#pragma once
// The substitute provider's accounts and the six web API operations over them.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace websim {

struct Account {
    std::string email;
    std::string password;
    int filtering_level = 0;
    bool confirmed = false;
};

// Accounts kept in a JSON file ({"accounts":[{...}, ...]}), read before and written after every
// operation so that tests and the demo can prepare and inspect it. Without a file the accounts
// live in memory only.
class AccountStore {
  public:
    explicit AccountStore(std::filesystem::path file = {});

    // Loads the file; a missing file is an empty store. False when the file cannot be parsed.
    bool load();
    // Writes the file (temporary name, then renamed). False on failure.
    bool save() const;

    Account* find(const std::string& email);
    void add(Account account);
    const std::vector<Account>& accounts() const { return accounts_; }

  private:
    std::filesystem::path file_;
    std::vector<Account> accounts_;
};

// Decodes %XX escapes (a malformed escape is kept as written); '+' stays '+'.
std::string percent_decode(std::string_view text);
// Splits "a=1&b=2" into decoded pairs (a later duplicate key wins).
std::map<std::string, std::string> parse_query(std::string_view query);

// The six operations. Returns the reply body: the result code on the first line, then, for
// getProperties, the account's properties as a JSON object.
//   200 done                          301 e-mail registered, not yet confirmed (createAccount)
//   302 e-mail registered (createAccount)
//   305 malformed e-mail address      320 password not acceptable (6 to 64 characters)
//   400 missing parameter or filtering level outside 0..3
//   403 wrong password                404 unknown e-mail address
//   500 the account store cannot be read or written
// confirmAuthUrl marks the account as confirmed (the mailed link counts as followed).
std::optional<std::string> run_operation(const std::string& operation,
                                         const std::map<std::string, std::string>& params,
                                         AccountStore& store);

extern const std::vector<std::string> kOperations;

} // namespace websim
