// setuppack: builds the packages the setups carry, appends them to the stub
// setups, and lists, verifies and extracts any package of the format.
#include "package/EntryInflater.h"
#include "package/InflateBuffer.h"
#include "package/Md5.h"
#include "package/PackageFormat.h"
#include "package/PackageTable.h"
#include "package/PackageView.h"
#include "package/PackageWriter.h"
#include "package/PeCertificate.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

constexpr char USAGE[] =
    "usage: setuppack build OUT FILE...         pack FILEs (entry name = file name) into package OUT\n"
    "       setuppack append STUB PACKAGE OUT   write OUT: the stub executable followed by the package\n"
    "       setuppack list FILE                 name, size, compressed size and MD5 of every entry\n"
    "       setuppack verify FILE               check the package in FILE (exit 0 when sound)\n"
    "                                           list and verify also say whether FILE is signed and how\n"
    "                                           many bytes follow the package\n"
    "       setuppack extract FILE DIR          write the package's files into DIR\n";

// Every failure ends as one line on stderr.
int Fail(const std::string& message)
{
    std::fprintf(stderr, "setuppack: %s\n", message.c_str());
    return EXIT_FAILED;
}

std::string SystemError(int code)
{
    return std::error_code(code, std::generic_category()).message();
}

bool ReadWholeFile(const std::string& path, std::string* contents, std::string* error)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        *error = "cannot open " + path + ": " + SystemError(errno);
        return false;
    }
    contents->clear();
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0)
        contents->append(chunk, got);
    if (std::ferror(file.get())) {
        *error = "cannot read " + path + ": " + SystemError(errno);
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string& path, const std::string& contents, std::string* error)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        *error = "cannot create " + path + ": " + SystemError(errno);
        return false;
    }
    const bool written = std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
    const int savedErrno = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        *error = "cannot write " + path + ": " + SystemError(written ? errno : savedErrno);
        std::remove(path.c_str());
        return false;
    }
    return true;
}

// A name that can only become a file directly inside the target folder, on
// Windows as on the build machine.
bool IsSafeEntryName(const std::string& name)
{
    if (name.empty() || name.size() > 255 || name == "." || name == "..")
        return false;
    for (const char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || std::strchr("<>:\"/\\|?*", c))
            return false;
    }
    if (name.back() == '.' || name.back() == ' ')
        return false;
    // Device names reach a device, not a file, whatever folder precedes them.
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : devices) {
        if (stem == device)
            return false;
    }
    if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
        stem[3] >= '0' && stem[3] <= '9')
        return false;
    return true;
}

std::string BaseName(const std::string& path)
{
#ifdef _WIN32
    const size_t slash = path.find_last_of("/\\:");
#else
    const size_t slash = path.find_last_of('/');
#endif
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string StatusText(int32_t status)
{
    switch (status) {
    case PACKAGE_DAMAGED:
        return "the package is missing or damaged";
    case PACKAGE_NO_MEMORY:
        return "not enough memory to load the package";
    default:
        return "the package could not be loaded";
    }
}

// A file read whole, with its package found, checked and inflated.
struct CheckedFile {
    std::string contents;
    CPackageTable table;
    CPackageView view;
};

// False after saying on stderr why the file or its package is no good.
bool CheckFile(const std::string& path, CheckedFile* file)
{
    std::string error;
    if (!ReadWholeFile(path, &file->contents, &error)) {
        Fail(error);
        return false;
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(file->contents.data());
    std::vector<uint8_t> window(PACKAGE_WINDOW_SIZE);
    const int32_t status = file->table.Load(bytes, file->contents.size(), window.data(), PACKAGE_WINDOW_SIZE);
    if (status != PACKAGE_OK) {
        char code[16];
        std::snprintf(code, sizeof(code), "%d", static_cast<int>(status));
        Fail(path + ": " + StatusText(status) + " (status " + code + "): " + file->table.FaultText());
        return false;
    }
    file->view.Open(bytes, file->contents.size());
    return true;
}

// Whether the file carries an Authenticode signature, and what follows the
// package: in a signed setup, the signature's certificate table (after up to
// 7 bytes of alignment) and nothing else.
struct Tail {
    PeCertificateTable certificates;
    uint64_t packageEnd;
    uint64_t bytesAfter;
};

Tail TailOf(const CheckedFile& file)
{
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(file.contents.data());
    Tail tail{FindCertificateTable(bytes, file.contents.size()), 0, 0};
    tail.packageEnd = file.view.HeaderOffset() + file.view.PackageSize();
    tail.bytesAfter = file.contents.size() - tail.packageEnd;
    return tail;
}

void PrintTail(const Tail& tail)
{
    if (tail.certificates.Signed())
        std::printf("signed: yes (Authenticode certificate table of %u bytes at offset %u)\n",
                    static_cast<unsigned>(tail.certificates.size), static_cast<unsigned>(tail.certificates.offset));
    else
        std::printf("signed: no\n");
    std::printf("bytes after the package: %llu\n", static_cast<unsigned long long>(tail.bytesAfter));
}

int Build(const std::string& out, const std::vector<std::string>& files)
{
    CPackageWriter writer;
    std::set<std::string> names;
    for (const std::string& path : files) {
        const std::string name = BaseName(path);
        if (!IsSafeEntryName(name))
            return Fail(path + ": \"" + CPackageView::Printable(name) + "\" cannot be an entry name");
        if (!names.insert(name).second)
            return Fail(path + ": a second file named \"" + name + "\"; entry names must be unique");
        std::string contents, error;
        if (!ReadWholeFile(path, &contents, &error))
            return Fail(error);
        if (!writer.AddEntry(name, contents, &error))
            return Fail(path + ": " + error);
    }
    std::string error;
    const std::string package = writer.Build(&error);
    if (package.empty())
        return Fail(out + ": " + error);
    if (!WriteWholeFile(out, package, &error))
        return Fail(error);
    return EXIT_OK;
}

int Append(const std::string& stubPath, const std::string& packagePath, const std::string& out)
{
    // Only a sound package is worth shipping.
    CheckedFile package;
    if (!CheckFile(packagePath, &package))
        return EXIT_FAILED;
    std::string stub, setup, error;
    if (!ReadWholeFile(stubPath, &stub, &error))
        return Fail(error);
    if (!CPackageWriter::AppendToStub(stub, package.contents, &setup, &error))
        return Fail(stubPath + ": " + error);
    if (!WriteWholeFile(out, setup, &error))
        return Fail(error);
    return EXIT_OK;
}

int List(const std::string& path)
{
    CheckedFile file;
    if (!CheckFile(path, &file))
        return EXIT_FAILED;
    // Every stored entry, duplicates included, in stored order.
    std::vector<uint8_t> window(PACKAGE_WINDOW_SIZE);
    CEntryInflater inflater(window.data(), PACKAGE_WINDOW_SIZE);
    CInflateBuffer inflated;
    std::printf("%10s %10s  %-32s  %s\n", "size", "compressed", "md5", "name");
    for (const PackageEntryView& entry : file.view.Entries()) {
        inflater.Inflate(entry.data, entry.compressedSize, &inflated);
        std::printf("%10u %10u  %s  %s\n", static_cast<unsigned>(inflated.Size()),
                    static_cast<unsigned>(entry.compressedSize), CMd5::ToHex(entry.contentDigest).c_str(),
                    CPackageView::Printable(entry.Name()).c_str());
    }
    PrintTail(TailOf(file));
    return EXIT_OK;
}

int Verify(const std::string& path)
{
    CheckedFile file;
    if (!CheckFile(path, &file))
        return EXIT_FAILED;
    const Tail tail = TailOf(file);
    // A signature made before the package was appended covers none of it.
    if (tail.certificates.Signed() && tail.certificates.offset < tail.packageEnd)
        return Fail(path + ": the signature was made before the package was appended and does not cover it");
    const size_t count = file.view.Entries().size();
    std::printf("%s: sound package at offset %llu, %u %s\n", path.c_str(),
                static_cast<unsigned long long>(file.view.HeaderOffset()), static_cast<unsigned>(count),
                count == 1 ? "entry" : "entries");
    PrintTail(tail);
    return EXIT_OK;
}

int Extract(const std::string& path, const std::string& dir)
{
    CheckedFile file;
    if (!CheckFile(path, &file))
        return EXIT_FAILED;

    namespace fs = std::filesystem;
    const std::vector<std::string> names = file.table.Names();
    // Every name is checked before the first file is written.
    for (const std::string& name : names) {
        if (!IsSafeEntryName(name))
            return Fail(path + ": the entry \"" + CPackageView::Printable(name) +
                        "\" is not a plain file name; nothing extracted");
    }
    std::error_code ec;
    fs::create_directories(fs::path(dir), ec);
    if (ec || !fs::is_directory(fs::path(dir)))
        return Fail("cannot create the folder " + dir + (ec ? ": " + ec.message() : std::string()));
    for (const std::string& name : names) {
        const fs::path target = fs::path(dir) / fs::path(name);
        // A link planted in DIR would carry the write elsewhere.
        const fs::file_status status = fs::symlink_status(target, ec);
        if (fs::exists(status) && !fs::is_regular_file(status))
            return Fail(target.string() + " exists and is not a plain file");
        const uint8_t* data = nullptr;
        int32_t size = 0;
        file.table.Find(name, &data, &size);
        std::string error;
        if (!WriteWholeFile(target.string(), std::string(reinterpret_cast<const char*>(data), size), &error))
            return Fail(error);
    }
    return EXIT_OK;
}

int Usage()
{
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage();
    const std::string& command = args[0];
    try {
        if (command == "build" && args.size() >= 3)
            return Build(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
        if (command == "append" && args.size() == 4)
            return Append(args[1], args[2], args[3]);
        if (command == "list" && args.size() == 2)
            return List(args[1]);
        if (command == "verify" && args.size() == 2)
            return Verify(args[1]);
        if (command == "extract" && args.size() == 3)
            return Extract(args[1], args[2]);
    } catch (const std::bad_alloc&) {
        return Fail("out of memory");
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    return Usage();
}
