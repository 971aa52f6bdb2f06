// The safe interface's errors: the category of collect_file::errc.

#include "collect_file/collect_file.h"

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

}  // namespace collect_file
