#pragma once
// Private to the ICD reader's sources (icd_*.cpp): what its parts share.

#include <locale.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

#include "curvix/alignment/icd_reader.hpp"

namespace curvix::icd_detail {

// The "C" locale, created once and kept for the life of the process, so that
// the decimal point and the blanks never depend on the process locale.
locale_t c_locale();

// Clears errno for one reader call and restores it on scope exit, so that
// reading a number leaves errno as found.
class SavedErrno {
public:
    SavedErrno() noexcept : saved_(errno) { errno = 0; }
    SavedErrno(const SavedErrno&) = delete;
    SavedErrno& operator=(const SavedErrno&) = delete;
    ~SavedErrno() { errno = saved_; }

private:
    int saved_;
};

// The whole file decoded at once: the lines joined with LF are the file with
// each CR LF turned into LF and one final LF dropped (so a final CR without
// an LF stays). Lines are cut from this text one at a time, so a file of
// many short lines costs no more than its text.
std::u16string decode_text(std::string_view bytes);

// The lines of a decoded text, one at a time into a buffer the caller keeps.
// The empty text of non-empty bytes ("\n") is one empty line.
class LineCursor {
public:
    explicit LineCursor(const std::u16string& text) : text_(text) {}

    bool next(std::u16string& line) {
        if (pos_ == std::u16string::npos) return false;
        const std::size_t end = text_.find(u'\n', pos_);
        line.assign(text_, pos_, end == std::u16string::npos ? std::u16string::npos : end - pos_);
        pos_ = (end == std::u16string::npos) ? end : end + 1;
        ++number_;
        return true;
    }
    // 1-based number of the line last returned.
    std::size_t number() const { return number_; }

private:
    const std::u16string& text_;
    std::size_t pos_ = 0;
    std::size_t number_ = 0;
};

inline bool is_comment(std::u16string_view line) {
    return line.size() >= 2 && line[0] == u'/' && line[1] == u'/';
}

// The two grammars (icd_legacy_grammar.cpp, icd_strict_grammar.cpp).
IcdDocument read_legacy(std::string_view bytes);
IcdDocument read_strict(std::string_view bytes);

}  // namespace curvix::icd_detail
