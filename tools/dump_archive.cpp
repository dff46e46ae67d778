// Static archives (the ar format, with the long-name table "//" and the symbol tables "/" and
// "/SYM64/", and GNU thin archives whose members are files beside the archive): each member is
// dumped as an ELF file at its offset in the archive, bounded by its size.
#include "dumper.hpp"
#include "messages.hpp"

#include <sys/stat.h>
#include <sys/types.h>

#include <cinttypes>
#include <cstdarg>
#include <cstring>

namespace {

constexpr char archive_magic[] = "!<arch>\n";
constexpr char thin_magic[] = "!<thin>\n";
constexpr std::size_t magic_size = 8;
constexpr std::size_t member_header_size = 60;
// Long-name tables larger than this are not read (real ones are a few kilobytes).
constexpr std::uint64_t long_names_limit = std::uint64_t{64} << 20;

// A member header's fixed fields, as text.
struct MemberHeader {
    std::string name; // 16 bytes, trailing spaces removed
    std::uint64_t size = 0;
};

// The decimal digits of a header field (space-padded); false if it holds anything else.
bool decimal_field(const char *field, std::size_t width, std::uint64_t &value) {
    value = 0;
    std::size_t i = 0;
    for (; i < width && field[i] >= '0' && field[i] <= '9'; ++i) {
        if (value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + static_cast<unsigned>(field[i] - '0');
    }
    if (i == 0) return false;
    for (; i < width; ++i)
        if (field[i] != ' ') return false;
    return true;
}

class ArchiveReader {
  public:
    ArchiveReader(FILE *in, const char *name, const DumpOptions &options, FILE *out, FILE *err)
        : in_(in), name_(name), options_(options), out_(out), err_(err) {}
    int run();

  private:
    void problem(const char *format, ...) __attribute__((format(printf, 2, 3)));
    bool read_at(std::uint64_t offset, char *into, std::size_t size);
    // The member's name from its header: short, from the long-name table, or BSD's "#1/N"
    // (whose name takes the first N bytes of the data: `skip`). False (reported) when unusable.
    bool member_name(const MemberHeader &header, std::uint64_t data, std::string &name,
                     std::uint64_t &skip);
    void dump_member(const std::string &member, std::uint64_t offset, std::uint64_t size);
    void dump_thin_member(const std::string &member);
    void begin_member(const std::string &label);

    FILE *in_;
    std::string name_;
    const DumpOptions &options_;
    FILE *out_;
    FILE *err_;
    bool thin_ = false;
    std::uint64_t size_ = 0;
    std::string long_names_;
    bool have_long_names_ = false;
    int status_ = 0;
    unsigned members_ = 0;
    std::vector<std::string> messages_;
};

void ArchiveReader::problem(const char *format, ...) {
    status_ = 1;
    va_list arguments;
    va_start(arguments, format);
    // One line: control characters (from member names) become ^X.
    std::string line = one_line(format_message_v(format, arguments));
    va_end(arguments);
    if (err_ != nullptr) std::fprintf(err_, "quenza-dump: %s: %s\n", name_.c_str(), line.c_str());
    messages_.push_back(std::move(line));
}

bool ArchiveReader::read_at(std::uint64_t offset, char *into, std::size_t size) {
    return offset <= size_ && size <= size_ - offset &&
           fseeko(in_, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           (size == 0 || std::fread(into, size, 1, in_) == 1);
}

bool ArchiveReader::member_name(const MemberHeader &header, std::uint64_t data, std::string &name,
                                std::uint64_t &skip) {
    const std::string &field = header.name;
    skip = 0;
    if (field.size() > 1 && field[0] == '/' && field[1] >= '0' && field[1] <= '9') {
        std::uint64_t offset;
        if (!decimal_field(field.c_str() + 1, field.size() - 1, offset) || !have_long_names_ ||
            offset >= long_names_.size()) {
            problem("archive member at offset 0x%" PRIx64 ": long name '%s' is not in the "
                    "long-name table (size 0x%zx)",
                    data - member_header_size, field.c_str(), long_names_.size());
            return false;
        }
        // GNU ends each long name with "/\n".
        const std::size_t end = long_names_.find('\n', offset);
        name = long_names_.substr(offset, end == std::string::npos ? end : end - offset);
        if (!name.empty() && name.back() == '/') name.pop_back();
        return true;
    }
    if (field.rfind("#1/", 0) == 0) {
        std::uint64_t length;
        if (!decimal_field(field.c_str() + 3, field.size() - 3, length) || length > header.size ||
            length > 4096) {
            problem("archive member at offset 0x%" PRIx64 ": name field '%s' is damaged",
                    data - member_header_size, field.c_str());
            return false;
        }
        name.resize(length);
        if (!read_at(data, name.data(), name.size())) {
            problem("archive member at offset 0x%" PRIx64 ": its name runs past the end",
                    data - member_header_size);
            return false;
        }
        name.resize(std::strlen(name.c_str()));
        skip = length;
        return true;
    }
    name = field;
    if (!name.empty() && name.back() == '/') name.pop_back();
    return true;
}

void ArchiveReader::begin_member(const std::string &label) {
    if (options_.json) {
        if (members_ != 0) std::fputs(",\n", out_ != nullptr ? out_ : stdout);
    } else if (out_ != nullptr) {
        std::fprintf(out_, "\nFile: %s\n", label.c_str());
    }
    if (out_ != nullptr) std::fflush(out_);
    ++members_;
}

void ArchiveReader::dump_member(const std::string &member, std::uint64_t offset,
                                std::uint64_t size) {
    const std::string label = name_ + "(" + member + ")";
    char start[magic_size];
    if (read_at(offset, start, magic_size) && (std::memcmp(start, archive_magic, magic_size) == 0 ||
                                               std::memcmp(start, thin_magic, magic_size) == 0)) {
        problem("archive member %s is itself an archive; it is not read", member.c_str());
        return;
    }
    begin_member(label);
    Dumper dumper(in_, label.c_str(), options_, out_, err_);
    dumper.set_member(offset, size, name_, member, label);
    status_ |= dumper.run();
}

void ArchiveReader::dump_thin_member(const std::string &member) {
    const std::string label = name_ + "[" + member + "]";
    std::string path = member;
    if (member.empty() || member[0] != '/') {
        const std::size_t slash = name_.rfind('/');
        if (slash != std::string::npos) path = name_.substr(0, slash + 1) + member;
    }
    struct stat status;
    FILE *file = nullptr;
    // Only regular files: a device or a pipe named by a hostile archive must not block the dump.
    if (options_.open_thin_members && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode))
        file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        problem("thin archive member %s: cannot open %s", member.c_str(), path.c_str());
        return;
    }
    char start[magic_size] = {};
    if (std::fread(start, magic_size, 1, file) == 1 &&
        (std::memcmp(start, archive_magic, magic_size) == 0 ||
         std::memcmp(start, thin_magic, magic_size) == 0)) {
        problem("archive member %s is itself an archive; it is not read", member.c_str());
        std::fclose(file);
        return;
    }
    begin_member(label);
    Dumper dumper(file, label.c_str(), options_, out_, err_);
    dumper.set_member(0, UINT64_MAX, name_, member, label);
    status_ |= dumper.run();
    std::fclose(file);
}

int ArchiveReader::run() {
    if (fseeko(in_, 0, SEEK_END) != 0 || ftello(in_) < 0) {
        problem("cannot determine the file size (not a seekable file)");
        return 1;
    }
    size_ = static_cast<std::uint64_t>(ftello(in_));
    char magic[magic_size];
    if (!read_at(0, magic, magic_size)) return 1;
    thin_ = std::memcmp(magic, thin_magic, magic_size) == 0;
    std::uint64_t at = magic_size;
    while (at < size_) {
        char raw[member_header_size];
        if (!read_at(at, raw, member_header_size)) {
            problem("archive member header at offset 0x%" PRIx64
                    " runs past the end of the file (size 0x%" PRIx64 ")",
                    at, size_);
            break;
        }
        MemberHeader header;
        header.name.assign(raw, 16);
        header.name.erase(header.name.find_last_not_of(' ') + 1);
        if (raw[58] != '`' || raw[59] != '\n' || !decimal_field(raw + 48, 10, header.size)) {
            problem("archive member header at offset 0x%" PRIx64 " is damaged", at);
            break;
        }
        const std::uint64_t data = at + member_header_size;
        const bool special = header.name == "/" || header.name == "/SYM64/" ||
                             header.name == "//" || header.name == "__.SYMDEF" ||
                             header.name == "__.SYMDEF SORTED";
        // A thin archive holds only its tables; the members' sizes are those of their files.
        const bool stored = !thin_ || special;
        if (stored && header.size > size_ - data) {
            problem("archive member at offset 0x%" PRIx64 ": size %" PRIu64
                    " runs past the end of the file (size 0x%" PRIx64 ")",
                    at, header.size, size_);
            break;
        }
        if (header.name == "//") {
            if (header.size > long_names_limit) {
                problem("archive long-name table at offset 0x%" PRIx64 " is too large", at);
            } else {
                long_names_.resize(header.size);
                have_long_names_ = read_at(data, long_names_.data(), long_names_.size());
            }
        } else if (!special) {
            std::string member;
            std::uint64_t skip;
            if (member_name(header, data, member, skip)) {
                if (thin_) {
                    dump_thin_member(member);
                } else {
                    dump_member(member, data + skip, header.size - skip);
                }
            }
        }
        if (!stored) {
            at = data;
        } else {
            at = data + header.size;
            at += at & 1; // members start on even offsets
        }
    }
    // In JSON, problems of the archive itself (or an archive without members) get an object of
    // their own, so that every problem is in the document and it stays one well-formed array.
    if (options_.json && (members_ == 0 || !messages_.empty())) {
        begin_member("");
        Output out(out_);
        out.put("{\n  \"file\":");
        out.json_string(name_);
        out.put(",\n  \"archive_members\":");
        out.dec(members_ - 1);
        out.put(",\n  \"problems\":[");
        for (std::size_t i = 0; i < messages_.size(); ++i) {
            out.put(i == 0 ? "\n    " : ",\n    ");
            out.json_string(messages_[i]);
        }
        out.put(messages_.empty() ? "]\n}" : "\n  ]\n}");
    }
    return status_;
}

} // namespace

bool is_archive(FILE *in) {
    char magic[magic_size];
    if (fseeko(in, 0, SEEK_SET) != 0 || std::fread(magic, magic_size, 1, in) != 1) return false;
    return std::memcmp(magic, archive_magic, magic_size) == 0 ||
           std::memcmp(magic, thin_magic, magic_size) == 0;
}

int dump_archive(FILE *in, const char *name, const DumpOptions &options, FILE *out, FILE *err) {
    return ArchiveReader(in, name, options, out, err).run();
}
