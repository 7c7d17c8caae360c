#pragma once
// The registry: hierarchical keys below three roots, each key with a default value and named
// values (strings or 32-bit numbers), shared by every process of the machine.
//
// Key names are compared without regard to ASCII case and keep the case they were created with.
// A path is a sequence of key names separated by backslashes ("CLSID\\{...}\\InprocServer32").
// An empty value name is the key's default value.
//
// Storage: one file, registry.xml, in the folder named by the environment variable
// ORVIX_REGISTRY_DIR (default /var/tmp/orvix-registry-<uid>). Every change is written whole to
// a temporary file that then replaces the old one, under a machine-wide lock, so a reader in any
// process sees either the old or the new state, and a process picks up changes made by others at
// its next call. Operations return system error codes: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND for a
// missing key or value, ERROR_INVALID_PARAMETER for an unusable name, ERROR_INVALID_DATATYPE
// when a value has another type than asked for, ERROR_CANTWRITE when the file could not be
// written, ERROR_TIMEOUT when the lock was not had within 10 s.
#include "platform/result.h"
#include "platform/text.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <variant>
#include <vector>

namespace platform {

enum class RegistryRoot { ClassesRoot, LocalMachine, CurrentUser };

// A stored value: a string (REG_SZ) or a 32-bit number (REG_DWORD).
using RegistryValue = std::variant<Text, std::uint32_t>;

// A key, named by its root and path. Opening checks that the key exists; later calls check
// again, and fail with ERROR_KEY_DELETED when it has been deleted meanwhile.
class RegistryKey {
  public:
    RegistryKey() = default;
    static RegistryKey root(RegistryRoot root);

    bool is_open() const { return open_; }
    RegistryRoot root_id() const { return root_; }
    const Text& path() const { return path_; }

    // Opens the existing key `subkey` below this one (empty: this key again).
    std::uint32_t open(TextView subkey, RegistryKey& out) const;
    // Opens `subkey`, creating it and missing keys above it. `created` tells whether the key
    // itself is new.
    std::uint32_t create(TextView subkey, RegistryKey& out, bool* created = nullptr) const;
    // Deletes `subkey` with everything below it.
    std::uint32_t delete_tree(TextView subkey) const;
    // Deletes `subkey` only when it has no subkeys (ERROR_ACCESS_DENIED otherwise).
    std::uint32_t delete_key(TextView subkey) const;

    std::uint32_t set_value(TextView name, const RegistryValue& value) const;
    std::uint32_t set_string(TextView name, TextView value) const {
        return set_value(name, RegistryValue(Text(value)));
    }
    std::uint32_t set_dword(TextView name, std::uint32_t value) const {
        return set_value(name, RegistryValue(value));
    }
    std::uint32_t get_value(TextView name, RegistryValue& out) const;
    std::uint32_t get_string(TextView name, Text& out) const;
    std::uint32_t get_dword(TextView name, std::uint32_t& out) const;
    std::uint32_t delete_value(TextView name) const;

    // Names of the direct subkeys and of the values (the default value as ""), in creation
    // order.
    std::uint32_t subkeys(std::vector<Text>& out) const;
    std::uint32_t value_names(std::vector<Text>& out) const;

  private:
    RegistryKey(RegistryRoot root, Text path) : root_(root), path_(std::move(path)), open_(true) {}
    RegistryRoot root_ = RegistryRoot::ClassesRoot;
    Text path_; // normalised: names joined by '\\', no leading or trailing separator
    bool open_ = false;
};

// Shorthands for one value below a root: the string of `name` in `root`\`path`.
std::optional<Text> registry_read_string(RegistryRoot root, TextView path, TextView name = {});
std::uint32_t registry_write_string(RegistryRoot root, TextView path, TextView name,
                                    TextView value);

// The file the registry lives in (for tools and diagnostics).
std::filesystem::path registry_file();

} // namespace platform
