#include "webservice/email.h"

#include "platform/syserror.h"

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include <QByteArray>

#include <memory>
#include <new>

namespace {

constexpr char EmailPattern[] = "^[a-zA-Z0-9_.+-]+@[a-zA-Z0-9-]+\\.[a-zA-Z0-9-.]*[a-zA-Z0-9]+$";

struct TCodeDeleter {
    void operator()(pcre2_code* code) const noexcept { pcre2_code_free(code); }
};
struct TMatchDataDeleter {
    void operator()(pcre2_match_data* data) const noexcept { pcre2_match_data_free(data); }
};
using TCode = std::unique_ptr<pcre2_code, TCodeDeleter>;
using TMatchData = std::unique_ptr<pcre2_match_data, TMatchDataDeleter>;

TCode CompileEmailPattern() {
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    // No PCRE2_UTF: the subject is matched as UTF-8 bytes, and every byte of a non-ASCII
    // character lies outside the ASCII classes, so such addresses are refused as a whole.
    // PCRE2_DOLLAR_ENDONLY: without it "$" also matches before a final line feed, and
    // "name@host.com\n" would pass.
    TCode code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(EmailPattern), PCRE2_ZERO_TERMINATED,
                             PCRE2_DOLLAR_ENDONLY, &errorCode, &errorOffset, nullptr));
    if (!code) {
        PCRE2_UCHAR buffer[256];
        pcre2_get_error_message(errorCode, buffer, sizeof buffer);
        throw EAssertionFailed(QStringLiteral("E-mail pattern does not compile at %1: %2")
                                   .arg(errorOffset)
                                   .arg(QString::fromUtf8(reinterpret_cast<const char*>(buffer))));
    }
    return code;
}

const pcre2_code* EmailCode() {
    // Compiled once, on first use; the compiled code is read-only afterwards and may be shared
    // by matches on several threads.
    static const TCode code = CompileEmailPattern();
    return code.get();
}

} // namespace

bool IsValidEmail(const QString& text) {
    const pcre2_code* code = EmailCode();
    // The length is passed explicitly, so an embedded NUL is part of the subject (and refused)
    // rather than the end of it.
    const QByteArray subject = text.toUtf8();
    const TMatchData matchData(pcre2_match_data_create_from_pattern(code, nullptr));
    if (!matchData)
        throw std::bad_alloc();
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.constData()),
                               static_cast<PCRE2_SIZE>(subject.size()), 0, PCRE2_NOTEMPTY,
                               matchData.get(), nullptr);
    // Any negative result (no match, or the match limit a huge hostile subject can reach)
    // means the text is not an address we take.
    return rc > 0;
}
