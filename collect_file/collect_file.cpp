// The safe interface's shared vocabulary: the category of collect_file::errc, and the sections'
// marker lines.

#include "collect_file/collect_file.h"

#include "collect_file/CollectFileReaderWriter.h"

namespace collect_file {

namespace {

class Category : public std::error_category {
  public:
    const char* name() const noexcept override { return "collect_file"; }
    std::string message(int value) const override {
        switch (static_cast<errc>(value)) {
            case errc::line_too_long:
                return "line of 2,048 bytes or more, which no reader delivers";
            case errc::nul_in_line:
                return "line holds a NUL byte";
            case errc::newline_in_line:
                return "line holds a newline before its end";
            case errc::not_open:
                return "no file open";
            case errc::position_unknown:
                return "read position unknown";
            case errc::unterminated_line:
                return "line without its newline at the end of the file";
        }
        return "unknown collect_file error";
    }
};

}  // namespace

const std::error_category& error_category() noexcept {
    static const Category category;
    return category;
}

std::error_code make_error_code(errc e) noexcept {
    return std::error_code(static_cast<int>(e), error_category());
}

static_assert(max_line_size == CollectFileReaderWriter::kLineReadLimit - 1,
              "the longest line a reader delivers whole");

std::string_view marker(Section section) noexcept {
    switch (section) {
        case Section::full:
            return FULLENTRYDELIMITER;
        case Section::diff:
            return DIFFENTRYDELIMITER;
        case Section::system:
            return SYSTEMENTRYDELIMITER;
    }
    return {};
}

std::optional<Section> section_of(std::string_view line) noexcept {
    // Every marker ends with ']'; most lines do not, and are told by that one byte.
    if (line.empty() || line.back() != ']') {
        return std::nullopt;
    }
    for (const Section section : {Section::full, Section::diff, Section::system}) {
        if (line == marker(section)) {
            return section;
        }
    }
    return std::nullopt;
}

}  // namespace collect_file
