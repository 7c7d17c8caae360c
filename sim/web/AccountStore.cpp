#include "AccountStore.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <fstream>
#include <sstream>

namespace pt = boost::property_tree;

namespace websim {

const std::vector<std::string> kOperations = {"confirmPass",       "confirmAuthUrl",
                                              "createAccount",     "changePassword",
                                              "setFilteringLevel", "getProperties"};

AccountStore::AccountStore(std::filesystem::path file) : file_(std::move(file)) {}

bool AccountStore::load() {
    if (file_.empty())
        return true;
    std::ifstream in(file_, std::ios::binary);
    if (!in) {
        accounts_.clear();
        return true;
    }
    pt::ptree tree;
    try {
        pt::read_json(in, tree);
    } catch (const pt::ptree_error&) {
        return false;
    }
    std::vector<Account> loaded;
    if (const auto list = tree.get_child_optional("accounts")) {
        for (const auto& [key, node] : *list) {
            (void)key;
            Account a;
            a.email = node.get<std::string>("email", "");
            a.password = node.get<std::string>("password", "");
            a.filtering_level = node.get<int>("filteringlevel", 0);
            a.confirmed = node.get<bool>("confirmed", false);
            if (!a.email.empty())
                loaded.push_back(std::move(a));
        }
    }
    accounts_ = std::move(loaded);
    return true;
}

bool AccountStore::save() const {
    if (file_.empty())
        return true;
    pt::ptree list;
    for (const Account& a : accounts_) {
        pt::ptree node;
        node.put("email", a.email);
        node.put("password", a.password);
        node.put("filteringlevel", a.filtering_level);
        node.put("confirmed", a.confirmed);
        list.push_back({"", node});
    }
    pt::ptree tree;
    tree.add_child("accounts", list);
    std::ostringstream out;
    pt::write_json(out, tree);
    std::filesystem::path temp = file_;
    temp += ".tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        if (!file)
            return false;
        file << out.str();
        if (!file.flush())
            return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp, file_, ec);
    return !ec;
}

Account* AccountStore::find(const std::string& email) {
    for (Account& a : accounts_)
        if (a.email == email)
            return &a;
    return nullptr;
}

void AccountStore::add(Account account) {
    accounts_.push_back(std::move(account));
}

std::string percent_decode(std::string_view text) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
            hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::map<std::string, std::string> parse_query(std::string_view query) {
    std::map<std::string, std::string> out;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos)
            out[percent_decode(pair.substr(0, eq))] = percent_decode(pair.substr(eq + 1));
        else if (!pair.empty())
            out[percent_decode(pair)] = "";
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return out;
}

namespace {

std::string properties_json(const Account& a) {
    pt::ptree tree;
    tree.put("email", a.email);
    tree.put("status", "online");
    tree.put("filteringlevel", a.filtering_level);
    tree.put("confirmed", a.confirmed);
    std::ostringstream out;
    pt::write_json(out, tree, false);
    std::string text = out.str();
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

bool password_acceptable(const std::string& password) {
    return password.size() >= 6 && password.size() <= 64;
}

} // namespace

std::optional<std::string> run_operation(const std::string& operation,
                                         const std::map<std::string, std::string>& params,
                                         AccountStore& store) {
    if (!store.load())
        return "500";
    auto param = [&](const char* name) -> const std::string* {
        const auto it = params.find(name);
        return it == params.end() ? nullptr : &it->second;
    };
    const std::string* email = param("email");
    if (!email || email->empty())
        return "400";

    if (operation == "confirmPass" || operation == "confirmAuthUrl") {
        Account* a = store.find(*email);
        if (!a)
            return "404";
        if (operation == "confirmAuthUrl" && !a->confirmed) {
            a->confirmed = true;
            if (!store.save())
                return "500";
        }
        return "200";
    }
    const std::string* password = param("password");
    if (!password)
        return "400";
    if (operation == "createAccount") {
        if (email->find('@') == std::string::npos)
            return "305";
        if (const Account* a = store.find(*email))
            return a->confirmed ? "302" : "301";
        if (!password_acceptable(*password))
            return "320";
        store.add(Account{*email, *password, 0, false});
        return store.save() ? "200" : "500";
    }

    Account* a = store.find(*email);
    if (!a)
        return "404";
    if (a->password != *password)
        return "403";
    if (operation == "getProperties")
        return "200\r\n" + properties_json(*a);
    if (operation == "changePassword") {
        const std::string* next = param("newpassword");
        if (!next)
            return "400";
        if (!password_acceptable(*next))
            return "320";
        a->password = *next;
        return store.save() ? "200" : "500";
    }
    if (operation == "setFilteringLevel") {
        const std::string* level = param("filteringlevel");
        if (!level || level->size() != 1 || (*level)[0] < '0' || (*level)[0] > '3')
            return "400";
        a->filtering_level = (*level)[0] - '0';
        return store.save() ? "200" : "500";
    }
    return std::nullopt;
}

} // namespace websim
