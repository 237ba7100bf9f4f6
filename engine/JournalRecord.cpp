#include "engine/JournalRecord.h"

#include <cstring>

namespace {

// The version of what the records say (the file format has its own).
constexpr int32_t JOURNAL_RECORD_VERSION = 1;

// Little-endian 32-bit lengths and numbers throughout.
void PutU32(std::string* out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out->push_back(static_cast<char>((value >> shift) & 0xFF));
}

// Reads the next 32-bit number; false when fewer than four bytes remain.
bool TakeU32(const std::string& in, size_t* at, uint32_t* value)
{
    if (*at > in.size() || in.size() - *at < 4)
        return false;
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i)
        result |= static_cast<uint32_t>(static_cast<unsigned char>(in[*at + i])) << (8 * i);
    *at += 4;
    *value = result;
    return true;
}

// A length-prefixed piece; false when the length runs past the bytes there.
void PutBytes(std::string* out, const std::string& bytes)
{
    PutU32(out, static_cast<uint32_t>(bytes.size()));
    out->append(bytes);
}

bool TakeBytes(const std::string& in, size_t* at, std::string* bytes)
{
    uint32_t length = 0;
    if (!TakeU32(in, at, &length) || length > in.size() - *at)
        return false;
    bytes->assign(in, *at, length);
    *at += length;
    return true;
}

std::string Utf16Bytes(const std::u16string& text)
{
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

bool Utf16Text(const std::string& bytes, std::u16string* text)
{
    if (bytes.size() % 2 != 0)
        return false;
    text->clear();
    for (size_t i = 0; i < bytes.size(); i += 2)
        text->push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              static_cast<unsigned char>(bytes[i + 1]) << 8));
    return true;
}

}  // namespace

std::string EncodeInt(int32_t value)
{
    std::string out;
    PutU32(&out, static_cast<uint32_t>(value));
    return out;
}

bool DecodeInt(const std::string& field, int32_t* value)
{
    size_t at = 0;
    uint32_t raw = 0;
    if (field.size() != 4 || !TakeU32(field, &at, &raw))
        return false;
    *value = static_cast<int32_t>(raw);
    return true;
}

std::string EncodeText16(const std::u16string& text)
{
    return Utf16Bytes(text);
}

bool DecodeText16(const std::string& field, std::u16string* text)
{
    return Utf16Text(field, text);
}

std::string EncodeValues(const std::vector<SavedRegistryValue>& values)
{
    std::string out;
    PutU32(&out, static_cast<uint32_t>(values.size()));
    for (const SavedRegistryValue& value : values) {
        PutBytes(&out, Utf16Bytes(value.name));
        PutU32(&out, value.type);
        PutBytes(&out, value.data);
    }
    return out;
}

bool DecodeValues(const std::string& field, std::vector<SavedRegistryValue>* values)
{
    size_t at = 0;
    uint32_t count = 0;
    if (!TakeU32(field, &at, &count))
        return false;
    values->clear();
    for (uint32_t i = 0; i < count; ++i) {
        SavedRegistryValue value;
        std::string name;
        if (!TakeBytes(field, &at, &name) || !Utf16Text(name, &value.name) || !TakeU32(field, &at, &value.type) ||
            !TakeBytes(field, &at, &value.data))
            return false;
        values->push_back(std::move(value));
    }
    return at == field.size();
}

std::string EncodePairs(const std::vector<RenamePair>& pairs)
{
    std::string out;
    PutU32(&out, static_cast<uint32_t>(pairs.size()));
    for (const RenamePair& pair : pairs) {
        PutBytes(&out, Utf16Bytes(pair.source));
        PutBytes(&out, Utf16Bytes(pair.destination));
    }
    return out;
}

bool DecodePairs(const std::string& field, std::vector<RenamePair>* pairs)
{
    size_t at = 0;
    uint32_t count = 0;
    if (!TakeU32(field, &at, &count))
        return false;
    pairs->clear();
    for (uint32_t i = 0; i < count; ++i) {
        std::string source, destination;
        RenamePair pair;
        if (!TakeBytes(field, &at, &source) || !TakeBytes(field, &at, &destination) ||
            !Utf16Text(source, &pair.source) || !Utf16Text(destination, &pair.destination))
            return false;
        pairs->push_back(std::move(pair));
    }
    return at == field.size();
}

std::string EncodeFirewall(const FirewallChange& change)
{
    std::string out;
    PutU32(&out, static_cast<uint32_t>(change.kind));
    PutBytes(&out, Utf16Bytes(change.name));
    PutBytes(&out, Utf16Bytes(change.path));
    PutU32(&out, static_cast<uint32_t>(change.direction));
    PutU32(&out, static_cast<uint32_t>(change.previousEnabled));
    PutU32(&out, static_cast<uint32_t>(change.previousAction));
    return out;
}

bool DecodeFirewall(const std::string& field, FirewallChange* change)
{
    size_t at = 0;
    uint32_t kind = 0, direction = 0, enabled = 0, action = 0;
    std::string name, path;
    if (!TakeU32(field, &at, &kind) || !TakeBytes(field, &at, &name) || !TakeBytes(field, &at, &path) ||
        !TakeU32(field, &at, &direction) || !TakeU32(field, &at, &enabled) || !TakeU32(field, &at, &action) ||
        at != field.size() || !Utf16Text(name, &change->name) || !Utf16Text(path, &change->path))
        return false;
    change->kind = static_cast<int32_t>(kind);
    change->direction = static_cast<int32_t>(direction);
    change->previousEnabled = static_cast<int32_t>(enabled);
    change->previousAction = static_cast<int32_t>(action);
    return true;
}

JournalRecord JournalRecord::MakeEntry(const std::string& key, int32_t journalKind)
{
    return JournalRecord{RecordKind::Entry, {key, EncodeInt(journalKind)}};
}

JournalRecord JournalRecord::MakeBackup(const std::string& target, const std::string& backup)
{
    return JournalRecord{RecordKind::Backup, {target, backup}};
}

JournalRecord JournalRecord::MakeTarget(RecordKind kind, const std::string& target)
{
    return JournalRecord{kind, {target}};
}

JournalRecord JournalRecord::MakeServiceStarted(const std::string& name)
{
    return JournalRecord{RecordKind::ServiceStarted, {name}};
}

JournalRecord JournalRecord::MakeKeySaved(const std::string& subkey, const std::vector<SavedRegistryValue>& values)
{
    return JournalRecord{RecordKind::KeySaved, {subkey, EncodeValues(values)}};
}

JournalRecord JournalRecord::MakeRenameList(RecordKind kind, bool exists, const std::string& bytes)
{
    return JournalRecord{kind, {EncodeInt(exists ? 1 : 0), bytes}};
}

JournalRecord JournalRecord::MakeReplacement(RecordKind kind, const RenamePair& pair)
{
    return JournalRecord{kind, {EncodePairs({pair})}};
}

JournalRecord JournalRecord::MakeRestartWork(const std::vector<RenamePair>& pairs, bool blocking)
{
    return JournalRecord{RecordKind::RestartWork, {EncodePairs(pairs), EncodeInt(blocking ? 1 : 0)}};
}

JournalRecord JournalRecord::MakeFirewall(const FirewallChange& change)
{
    return JournalRecord{RecordKind::Firewall, {EncodeFirewall(change)}};
}

JournalRecord JournalRecord::MakeCommitted()
{
    return JournalRecord{RecordKind::Committed, {}};
}

JournalRecord JournalRecord::MakeHeader(const std::string& productKey)
{
    return JournalRecord{RecordKind::Header, {EncodeInt(JOURNAL_RECORD_VERSION), productKey}};
}

JournalRecord JournalRecord::MakeRunBegun(int32_t runKind)
{
    return JournalRecord{RecordKind::RunBegun, {EncodeInt(runKind)}};
}

JournalRecord JournalRecord::MakeRolledBack()
{
    return JournalRecord{RecordKind::RolledBack, {}};
}

JournalRecord JournalRecord::MakePackageIntent(const std::string& inf, const std::string& hardwareId,
                                               const std::vector<std::string>& storeInfs,
                                               const std::string& catalogName, bool catalogExisted,
                                               bool catalogFolderExisted)
{
    return JournalRecord{RecordKind::PackageIntent,
                         {inf, hardwareId, JoinTexts(storeInfs), catalogName, EncodeInt(catalogExisted ? 1 : 0),
                          EncodeInt(catalogFolderExisted ? 1 : 0)}};
}

JournalRecord JournalRecord::MakePackageResolved(const std::string& inf)
{
    return JournalRecord{RecordKind::PackageResolved, {inf}};
}

JournalRecord JournalRecord::MakeLogLevelRaised(uint32_t type, const std::string& value)
{
    return JournalRecord{RecordKind::LogLevelRaised, {EncodeInt(static_cast<int32_t>(type)), value}};
}

JournalRecord JournalRecord::MakeLogLevelRestored()
{
    return JournalRecord{RecordKind::LogLevelRestored, {}};
}

JournalRecord JournalRecord::MakeText(RecordKind kind, const std::string& text)
{
    return JournalRecord{kind, {text}};
}

JournalRecord JournalRecord::MakeTexts(RecordKind kind, const std::string& first, const std::string& second)
{
    return JournalRecord{kind, {first, second}};
}

JournalRecord JournalRecord::MakeRemoval(const std::vector<RenamePair>& pairs)
{
    return JournalRecord{RecordKind::RemovalScheduled, {EncodePairs(pairs)}};
}

JournalRecord JournalRecord::MakeFirewallRemoved(const FirewallChange& change)
{
    return JournalRecord{RecordKind::FirewallRemoved, {EncodeFirewall(change)}};
}

std::string JoinTexts(const std::vector<std::string>& texts)
{
    std::string joined;
    for (const std::string& text : texts) {
        joined += text;
        joined += '\0';
    }
    return joined;
}

std::vector<std::string> SplitTexts(const std::string& field)
{
    std::vector<std::string> texts;
    size_t at = 0;
    while (at < field.size()) {
        const size_t zero = field.find('\0', at);
        const size_t end = zero == std::string::npos ? field.size() : zero;
        texts.push_back(field.substr(at, end - at));
        at = end + 1;
    }
    return texts;
}
