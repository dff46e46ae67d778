// Reading one file for the dump: the header, the section and program header tables, string
// tables, symbol tables and version records, each checked against the file size before anything
// is allocated or read. Problems are reported and the dump goes on with what is still usable.
#include "dumper.hpp"
#include "messages.hpp"

#include <sys/types.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <new>

namespace {

// More problems than this in one file are counted but not shown one by one.
constexpr unsigned long shown_problems = 100;
// Different problems remembered so that each counts once (a hash each).
constexpr std::size_t remembered_problems = std::size_t{1} << 16;
// Names quoted in messages are cut to this many bytes.
constexpr std::size_t quoted_name_limit = 64;
// At most this many string tables stay cached (the one in use may be held elsewhere too).
constexpr std::size_t cached_string_tables = 3;

// Tables may overlap, so reading every table could cost far more than the file's size (thousands
// of sections over the same bytes). The bytes read for tables are limited to this many times the
// file size, plus a little.
constexpr std::uint64_t read_budget_factor = 4;
constexpr std::uint64_t read_budget_extra = std::uint64_t{1} << 20;

constexpr std::size_t symbol_size(bool wide) {
    return wide ? 24 : 16;
}

} // namespace

void Json::key(std::string_view name) {
    separate();
    out_.put('"');
    out_.put(name);
    out_.put("\":");
    after_key_ = true;
}

void Json::open(char bracket, bool compact) {
    separate();
    out_.put(bracket);
    levels_.push_back({true, compact || (!levels_.empty() && levels_.back().compact)});
}

void Json::close(char bracket) {
    const Level level = levels_.back();
    levels_.pop_back();
    if (!level.first && !level.compact) newline();
    out_.put(bracket);
}

void Json::separate() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (levels_.empty()) return;
    Level &level = levels_.back();
    if (!level.first) out_.put(level.compact ? ", " : ",");
    level.first = false;
    if (!level.compact) newline();
}

void Json::newline() {
    out_.put('\n');
    out_.spaces(2 * levels_.size());
}

Dumper::Dumper(FILE *in, const char *name, const DumpOptions &options, FILE *out, FILE *err)
    : in_(in), name_(name), options_(options), out_(out), json_(out_), err_(err) {}

void Dumper::problem(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = one_line(format_message_v(format, arguments));
    va_end(arguments);
    report(false, std::move(text));
}

void Dumper::report(bool always, std::string text) {
    // The same fault reached twice (a bad symbol that several relocations use) counts once,
    // shown or not; the first remembered_problems different ones are remembered.
    const std::uint64_t key = std::hash<std::string>{}(text);
    if (seen_.contains(key)) return;
    if (seen_.size() < remembered_problems) seen_.insert(key);
    ++problems_;
    if (shown_count_ >= shown_problems && !always) return;
    ++shown_count_;
    if (err_ != nullptr) std::fprintf(err_, "quenza-dump: %s: %s\n", name_.c_str(), text.c_str());
    if (options_.json) messages_.push_back(std::move(text));
}

std::string_view Dumper::section_name(std::size_t index) const {
    std::string_view name;
    if (section_names_ == nullptr || index >= image_.sections.size()) return name;
    if (!section_names_->get(image_.sections[index].sh_name, name)) return "<corrupt>";
    return name;
}

std::string_view Dumper::section_symbol_name(unsigned shndx) {
    if (shndx < image_.sections.size()) return section_name(shndx);
    const unsigned machine = image_.header.e_machine;
    if (shndx == SHN_ABS) return "ABS";
    if (shndx == SHN_COMMON) return "COMMON";
    if (machine == EM_MIPS && shndx == SHN_MIPS_SCOMMON) return "SCOMMON";
    if (machine == EM_MIPS && shndx == SHN_MIPS_SUNDEFINED) return "SUNDEF";
    constexpr unsigned x86_64_large_common = 0xff02; // SHN_X86_64_LCOMMON, not in <elf.h>
    if (machine == EM_X86_64 && shndx == x86_64_large_common) return "LARGE_COMMON";
    std::snprintf(section_symbol_text_, sizeof section_symbol_text_, "<section 0x%x>", shndx);
    return section_symbol_text_;
}

std::string Dumper::section_label(std::size_t index) const {
    std::string_view name = section_name(index);
    std::string label = "section " + std::to_string(index);
    if (name.empty()) return label;
    const bool cut = name.size() > quoted_name_limit;
    label.append(" (").append(name.substr(0, quoted_name_limit)).append(cut ? "...)" : ")");
    return label;
}

void Dumper::set_member(std::uint64_t base, std::uint64_t size, const std::string &archive,
                        const std::string &member, const std::string &label) {
    base_ = base;
    limit_ = size;
    archive_ = archive;
    member_ = member;
    name_ = label;
}

ProblemReport Dumper::reporter() {
    return [this](const std::string &message) { report(false, one_line(message.c_str())); };
}

void Dumper::load_sections() {
    image_.read_sections(in_, reporter());

    // The version section of each symbol table (the first that links to it).
    versym_sections_.assign(image_.sections.size(), 0);
    for (std::size_t i = 1; i < image_.sections.size(); ++i) {
        const std::uint32_t link = image_.sections[i].sh_link;
        if (image_.sections[i].sh_type == SHT_GNU_versym && link < image_.sections.size() &&
            versym_sections_[link] == 0)
            versym_sections_[link] = i;
    }

    const std::size_t names = image_.section_names;
    if (names == SHN_UNDEF) return;
    section_names_ = strings(names);
    for (std::size_t i = 0; i < image_.sections.size(); ++i) {
        std::string_view name;
        if (!section_names_->get(image_.sections[i].sh_name, name))
            problem("section %zu: name offset 0x%x is past the end of the section-name table "
                    "(size 0x%zx)",
                    i, image_.sections[i].sh_name, section_names_->bytes.size());
    }
}

bool Dumper::charge(std::uint64_t bytes) {
    if (bytes <= read_budget_) {
        read_budget_ -= bytes;
        return true;
    }
    read_budget_ = 0;
    // Shown even past the limit on messages: it explains why the rest of the dump is missing.
    report(true, "the tables overlap so much that reading them all would take more than " +
                     std::to_string(read_budget_factor) +
                     " times the file size; the rest are skipped");
    return false;
}

bool Dumper::section_table(std::size_t index, std::uint64_t record_size, std::uint64_t &count) {
    const Elf64_Shdr &section = image_.sections[index];
    count = 0;
    if (section.sh_type == SHT_NOBITS) {
        problem("%s: table has no data in the file (NOBITS)", section_label(index).c_str());
        return false;
    }
    if (!in_file(section.sh_offset, section.sh_size)) {
        problem("%s: offset 0x%" PRIx64 " and size 0x%" PRIx64
                " run past the end of the file (size 0x%" PRIx64 ")",
                section_label(index).c_str(), section.sh_offset, section.sh_size, image_.file_size);
        return false;
    }
    if (section.sh_entsize != record_size)
        problem("%s: entry size %" PRIu64 " is not %" PRIu64, section_label(index).c_str(),
                section.sh_entsize, record_size);
    if (section.sh_size % record_size != 0)
        problem("%s: size %" PRIu64 " is not a multiple of entry size %" PRIu64,
                section_label(index).c_str(), section.sh_size, record_size);
    if (!charge(section.sh_size)) return false;
    count = section.sh_size / record_size;
    return true;
}

bool Dumper::linked_section(std::size_t index, std::size_t &link, const char *what) {
    const std::uint32_t value = image_.sections[index].sh_link;
    if (value == 0 || value >= image_.sections.size()) {
        problem("%s: link %u to its %s is out of range (%zu sections)",
                section_label(index).c_str(), value, what, image_.sections.size());
        return false;
    }
    if (value == index) {
        problem("%s: links to itself as its %s", section_label(index).c_str(), what);
        return false;
    }
    link = value;
    return true;
}

std::shared_ptr<const StringTable> Dumper::strings(std::size_t index) {
    for (const auto &[cached, table] : string_cache_)
        if (cached == index) return table;
    auto table = std::make_shared<StringTable>();
    const Elf64_Shdr &section = image_.sections[index];
    if (section.sh_type == SHT_NOBITS) {
        problem("%s: string table has no data in the file (NOBITS)", section_label(index).c_str());
    } else if (!in_file(section.sh_offset, section.sh_size)) {
        problem("%s: offset 0x%" PRIx64 " and size 0x%" PRIx64
                " run past the end of the file (size 0x%" PRIx64 ")",
                section_label(index).c_str(), section.sh_offset, section.sh_size, image_.file_size);
    } else if (charge(section.sh_size) &&
               !image_.read_strings(in_, section.sh_offset, section.sh_size, *table)) {
        problem("%s: read error", section_label(index).c_str());
    }
    // Empty tables cost nothing and keep their problem from being found again; of the others
    // only the most recent few stay.
    std::size_t loaded = 0;
    for (const auto &entry : string_cache_)
        loaded += entry.second->bytes.empty() ? 0 : 1;
    if (loaded >= cached_string_tables) {
        const auto oldest =
            std::find_if(string_cache_.begin(), string_cache_.end(),
                         [](const auto &entry) { return !entry.second->bytes.empty(); });
        string_cache_.erase(oldest);
    }
    string_cache_.emplace_back(index, table);
    return table;
}

std::string_view Dumper::string_or_corrupt(const StringTable *table, std::uint64_t offset,
                                           std::size_t section, const char *what,
                                           std::uint64_t number) {
    std::string_view text;
    if (table == nullptr) return "<corrupt>";
    if (table->get(offset, text)) return text;
    problem("%s: %s %" PRIu64 ": name offset 0x%" PRIx64
            " is past the end of its string table (size 0x%zx)",
            section_label(section).c_str(), what, number, offset, table->bytes.size());
    return "<corrupt>";
}

std::size_t Dumper::versym_section_for(std::size_t symtab) const {
    return symtab < versym_sections_.size() ? versym_sections_[symtab] : 0;
}

const SymbolTable *Dumper::symbol_table(std::size_t index) {
    if (symbol_cache_ != nullptr && symbol_cache_->section == index) return symbol_cache_.get();
    symbol_cache_.reset();
    auto table = std::make_unique<SymbolTable>();
    table->section = index;
    std::size_t link;
    if (linked_section(index, link, "string table")) table->strings = strings(link);
    std::uint64_t count;
    if (section_table(index, symbol_size(image_.wide), count)) {
        table->symbols.reserve(count);
        for_each_record(index, count, symbol_size(image_.wide), quenza_read_Syms, "symbol",
                        [&](const Elf64_Sym &s, std::uint64_t) {
                            table->symbols.push_back(
                                {s.st_value, s.st_name, s.st_shndx, s.st_info, s.st_other});
                        });
    }
    if (const std::size_t versym = versym_section_for(index); versym != 0) {
        load_versions();
        std::uint64_t versions;
        if (section_table(versym, 2, versions)) {
            versions = std::min<std::uint64_t>(versions, table->symbols.size());
            table->versyms.resize(versions);
            seek(image_.sections[versym].sh_offset);
            for (std::uint64_t i = 0; i < versions; ++i) {
                if (quenza_read_Versym(in_, &table->versyms[i]) != 1) {
                    problem("%s: read error at entry %" PRIu64, section_label(versym).c_str(), i);
                    table->versyms.resize(i);
                    break;
                }
            }
        }
    }
    symbol_cache_ = std::move(table);
    return symbol_cache_.get();
}

void Dumper::walk_version_section(std::size_t index) {
    const Elf64_Shdr &section = image_.sections[index];
    const bool definitions = section.sh_type == SHT_GNU_verdef;
    const char *what = definitions ? "version definition" : "version requirement";
    VersionSection versions{index, definitions, {}, nullptr};
    const std::string label = section_label(index);
    if (section.sh_type == SHT_NOBITS || !in_file(section.sh_offset, section.sh_size)) {
        problem("%s: offset 0x%" PRIx64 " and size 0x%" PRIx64
                " are not inside the file (size 0x%" PRIx64 ")",
                label.c_str(), section.sh_offset, section.sh_size, image_.file_size);
        version_sections_.push_back(std::move(versions));
        return;
    }
    std::size_t link;
    if (linked_section(index, link, "string table")) versions.strings = strings(link);
    if (!charge(section.sh_size)) {
        version_sections_.push_back(std::move(versions));
        return;
    }

    const std::uint64_t size = section.sh_size;
    const std::uint64_t record_size = definitions ? 20 : 16;
    const std::uint64_t aux_size = definitions ? 8 : 16;
    const auto inside = [&](std::uint64_t at, std::uint64_t bytes) {
        return at <= size && bytes <= size - at;
    };
    // Every record read costs one unit: no walk, looping or not, reads more records than the
    // section could hold.
    std::uint64_t budget = size / 8 + 1;
    bool looping = false;
    std::uint64_t at = 0;
    for (std::uint64_t k = 0; k < section.sh_info && !looping; ++k) {
        if (!inside(at, record_size)) {
            problem("%s: %s %" PRIu64 " at offset 0x%" PRIx64
                    " runs past the end of the section (size 0x%" PRIx64 ")",
                    label.c_str(), what, k, at, size);
            break;
        }
        if (budget-- == 0) {
            looping = true;
            break;
        }
        VersionRecord record{};
        record.offset = at;
        std::uint64_t aux_at = at;
        std::uint64_t next = 0;
        if (definitions) {
            Elf64_Verdef def;
            if (!seek(section.sh_offset + at) || quenza_read_Verdef(in_, &def) != 1) {
                problem("%s: read error at offset 0x%" PRIx64, label.c_str(), at);
                break;
            }
            record.version = def.vd_version;
            record.flags = def.vd_flags;
            record.index = def.vd_ndx;
            record.count = def.vd_cnt;
            record.hash = def.vd_hash;
            aux_at += def.vd_aux;
            next = def.vd_next;
        } else {
            Elf64_Verneed need;
            if (!seek(section.sh_offset + at) || quenza_read_Verneed(in_, &need) != 1) {
                problem("%s: read error at offset 0x%" PRIx64, label.c_str(), at);
                break;
            }
            record.version = need.vn_version;
            record.count = need.vn_cnt;
            record.file = need.vn_file;
            aux_at += need.vn_aux;
            next = need.vn_next;
        }
        for (unsigned j = 0; j < record.count; ++j) {
            if (!inside(aux_at, aux_size)) {
                problem("%s: %s %" PRIu64 ": entry %u at offset 0x%" PRIx64
                        " runs past the end of the section (size 0x%" PRIx64 ")",
                        label.c_str(), what, k, j, aux_at, size);
                break;
            }
            if (budget-- == 0) {
                looping = true;
                break;
            }
            VersionAux aux{};
            aux.offset = aux_at;
            std::uint64_t aux_next;
            bool read;
            if (definitions) {
                Elf64_Verdaux def;
                read = seek(section.sh_offset + aux_at) && quenza_read_Verdaux(in_, &def) == 1;
                aux.name = def.vda_name;
                aux_next = def.vda_next;
            } else {
                Elf64_Vernaux need;
                read = seek(section.sh_offset + aux_at) && quenza_read_Vernaux(in_, &need) == 1;
                aux.name = need.vna_name;
                aux.hash = need.vna_hash;
                aux.flags = need.vna_flags;
                aux.other = need.vna_other;
                aux_next = need.vna_next;
            }
            if (!read) {
                problem("%s: read error at offset 0x%" PRIx64, label.c_str(), aux_at);
                break;
            }
            record.aux.push_back(aux);
            if (aux_next == 0) {
                if (j + 1 < record.count)
                    problem("%s: %s %" PRIu64 ": its chain ends after %u of %u entries",
                            label.c_str(), what, k, j + 1, record.count);
                break;
            }
            aux_at += aux_next;
        }
        versions.records.push_back(std::move(record));
        if (next == 0) {
            if (k + 1 < section.sh_info)
                problem("%s: the chain ends after %" PRIu64 " of %u entries", label.c_str(), k + 1,
                        section.sh_info);
            break;
        }
        at += next;
    }
    if (looping)
        problem("%s: the version records link in a loop (more records than the section holds)",
                label.c_str());
    version_sections_.push_back(std::move(versions));
}

void Dumper::load_versions() {
    if (versions_loaded_) return;
    versions_loaded_ = true;
    for (std::size_t i = 1; i < image_.sections.size(); ++i)
        if (image_.sections[i].sh_type == SHT_GNU_verdef ||
            image_.sections[i].sh_type == SHT_GNU_verneed)
            walk_version_section(i);

    const auto name_of = [&](const VersionSection &versions, std::uint32_t offset,
                             std::string_view &name) {
        return versions.strings != nullptr && versions.strings->get(offset, name);
    };
    const auto slot = [&](unsigned index) -> VersionName & {
        if (version_names_.size() <= index) version_names_.resize(index + 1);
        return version_names_[index];
    };
    for (const VersionSection &versions : version_sections_) {
        for (const VersionRecord &record : versions.records) {
            std::string_view name;
            if (versions.definitions) {
                if (record.aux.empty() || !name_of(versions, record.aux[0].name, name)) continue;
                VersionName &entry = slot(record.index & versym_index);
                entry.defined = name;
                entry.has_defined = true;
            } else {
                for (const VersionAux &aux : record.aux) {
                    if (!name_of(versions, aux.name, name)) continue;
                    VersionName &entry = slot(aux.other & versym_index);
                    entry.needed = name;
                    entry.has_needed = true;
                }
            }
        }
    }
}

SymbolVersion Dumper::symbol_version(std::uint16_t versym, bool defined,
                                     std::string_view symbol) const {
    SymbolVersion version;
    const unsigned index = versym & versym_index;
    version.index = index;
    if (index <= VER_NDX_GLOBAL || index >= version_names_.size()) return version;
    const VersionName &entry = version_names_[index];
    if (defined && entry.has_defined) {
        // The symbol that stands for a version definition itself is shown without it.
        if (symbol == entry.defined) return version;
        version.kind =
            (versym & versym_hidden) != 0 ? VersionKind::hidden : VersionKind::default_version;
        version.name = entry.defined;
    } else if (entry.has_needed) {
        version.kind = VersionKind::needed;
        version.name = entry.needed;
    }
    return version;
}

int Dumper::run() {
    if (options_.json) {
        json_.begin_object();
        json_.key("file");
        json_.string(archive_.empty() ? name_ : archive_);
        if (!archive_.empty()) json_.string_field("member", member_);
    }
    if (image_.measure(in_, base_, limit_, reporter()) && image_.read_header(in_, reporter())) {
        read_budget_ = image_.file_size * read_budget_factor + read_budget_extra;
        load_sections();
        image_.read_segments(in_, reporter());
        if (options_.header) print_header();
        if (options_.sections) print_sections();
        if (options_.groups) print_groups();
        if (options_.segments) print_segments();
        if (options_.segments) print_segment_mapping();
        if (options_.dynamic) print_dynamic();
        if (options_.relocations) print_relocations();
        if (options_.symbols) print_symbols();
        if (options_.histogram) print_histogram();
        if (options_.versions) print_versions();
        if (!options_.dumps.empty()) print_section_dumps();
        if (options_.notes) print_notes();
    }
    finish();
    return problems_ == 0 ? 0 : 1;
}

void Dumper::finish() {
    const unsigned long hidden = problems_ - shown_count_;
    if (hidden != 0 && err_ != nullptr)
        std::fprintf(err_, "quenza-dump: %s: %lu more problems not shown\n", name_.c_str(), hidden);
    if (options_.json) {
        json_.key("problems");
        json_.begin_array();
        for (const std::string &message : messages_)
            json_.string(message);
        json_.end_array();
        if (hidden != 0) {
            json_.key("problems_not_shown");
            json_.number(hidden);
        }
        json_.end_object();
    }
    out_.flush();
}

int quenza_dump_stream(FILE *in, const char *name, const DumpOptions &options, FILE *out,
                       FILE *err) {
    try {
        if (is_archive(in)) return dump_archive(in, name, options, out, err);
        Dumper dumper(in, name, options, out, err);
        return dumper.run();
    } catch (const std::bad_alloc &) {
        if (err != nullptr) std::fprintf(err, "quenza-dump: %s: out of memory\n", name);
        return 1;
    }
}
