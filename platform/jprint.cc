// Streaming JSON writer into one fixed-size buffer. Each element (separator, key and value)
// is appended whole or not at all, and nothing is appended once something did not fit, so an
// overflowed text is always the document cut after its last whole element.
#include "jprint.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// An element under construction: texts, and runs of blanks (text null), appended as one
// unit. Never more than a separator, a line break, indentation, key and a three-part value.
struct Element {
    struct Piece {
        const char *text;
        std::size_t len;
    };
    Piece piece[10];
    int n = 0;

    Element &add(const char *s)
    {
        piece[n++] = {s, std::strlen(s)};
        return *this;
    }
    Element &blanks(int count)
    {
        piece[n++] = {nullptr, count > 0 ? static_cast<std::size_t>(count) : 0};
        return *this;
    }
};

bool compact(const jprint_t *jp)
{
    return (jp->mode & JPRINT_COMPACT) != 0;
}

const char *key_separator(const jprint_t *jp)
{
    if (compact(jp))
        return "\":";
    return (jp->mode & JPRINT_TIGHT_KEY) != 0 ? "\": " : "\" : ";
}

// Appends the element when it fits together with the terminator; otherwise marks overflow.
void emit(jprint_t *jp, const Element &e)
{
    if (jp->start == nullptr || jp->overflow)
        return;
    std::size_t total = 0;
    for (int i = 0; i < e.n; ++i)
        total += e.piece[i].len;
    std::size_t used = static_cast<std::size_t>(jp->cur - jp->start);
    std::size_t size = jp->size > 0 ? static_cast<std::size_t>(jp->size) : 0;
    if (used + total + 1 > size) {
        jp->overflow = 1;
        return;
    }
    // Pieces are mostly a few bytes: a plain loop beats a library call for each.
    char *out = jp->cur;
    for (int i = 0; i < e.n; ++i) {
        const Element::Piece &p = e.piece[i];
        if (p.text == nullptr) {
            for (std::size_t k = 0; k < p.len; ++k)
                out[k] = ' ';
        } else if (p.len <= 16) {
            for (std::size_t k = 0; k < p.len; ++k)
                out[k] = p.text[k];
        } else {
            std::memcpy(out, p.text, p.len);
        }
        out += p.len;
    }
    jp->cur = out;
    *jp->cur = '\0';
}

// The element prefix: separator, then the key with its separator or a lone blank.
Element prefix(jprint_t *jp, const char *key)
{
    Element e;
    if (!jp->first)
        e.add(",");
    jp->first = 0;
    if (key != nullptr) {
        if (!compact(jp))
            e.add("\n");
        e.blanks(jp->indent).add("\"").add(key).add(key_separator(jp));
    } else if (!compact(jp)) {
        e.add(" ");
    }
    return e;
}

void string_value(jprint_t *jp, const char *key, const char *text)
{
    Element e = prefix(jp, key);
    if ((jp->mode & JPRINT_UNQUOTED) != 0)
        e.add(text);
    else
        e.add("\"").add(text).add("\"");
    emit(jp, e);
}

void number_value(jprint_t *jp, const char *key, const char *formatted)
{
    emit(jp, prefix(jp, key).add(formatted));
}

// The printf formats of the numbers ("%d", "%lu", "%f", "%g") without printf's cost: to_chars
// with a precision of 6 is defined to match printf's fixed and general styles exactly.
template <class Int> const char *formatted(char (&scratch)[100], Int value)
{
    *std::to_chars(scratch, scratch + sizeof scratch - 1, value).ptr = '\0';
    return scratch;
}

const char *formatted(char (&scratch)[100], double value, std::chars_format style)
{
    auto r = std::to_chars(scratch, scratch + sizeof scratch - 1, value, style, 6);
    if (r.ec != std::errc()) // longer than the scratch text (huge fixed values): printf cuts
        std::snprintf(scratch, sizeof scratch, style == std::chars_format::fixed ? "%f" : "%g",
                      value);
    else
        *r.ptr = '\0';
    return scratch;
}

} // namespace

extern "C" {

ZENT_EXPORT int jprint_init(jprint_t *jp, char *buffer, int size, int indent, int step)
{
    if (jp == nullptr)
        return 1;
    jp->owns = 0;
    if (buffer == nullptr) {
        buffer =
            size > 0 ? static_cast<char *>(std::malloc(static_cast<std::size_t>(size))) : nullptr;
        if (buffer == nullptr) {
            jp->start = jp->cur = nullptr;
            jp->size = 0;
            jp->overflow = 1;
            return 1;
        }
        jp->owns = 1;
    }
    jp->start = jp->cur = buffer;
    jp->size = size;
    jp->indent = indent;
    jp->step = step;
    jp->first = 1;
    jp->mode = 0;
    jp->overflow = 0;
    if (size > 0)
        buffer[0] = '\0';
    else
        jp->overflow = 1; // nowhere to put even the terminator
    return 0;
}

ZENT_EXPORT void jprint_set_indent(jprint_t *jp, int indent)
{
    jp->indent = indent;
}

ZENT_EXPORT void jprint_raw(jprint_t *jp, const char *text)
{
    if (text != nullptr)
        emit(jp, Element().add(text));
}

ZENT_EXPORT void jprint_begin_dict(jprint_t *jp, const char *key)
{
    if (key != nullptr)
        emit(jp, prefix(jp, key).add("{"));
    else if (jp->first)
        emit(jp, Element().blanks(jp->indent).add("{"));
    else
        emit(jp, Element().add(compact(jp) ? "," : ", ").add("{"));
    jp->indent += jp->step;
    jp->first = 1;
}

ZENT_EXPORT void jprint_end_dict(jprint_t *jp)
{
    jp->indent -= jp->step;
    emit(jp, Element().add(compact(jp) ? "" : "\n").blanks(jp->indent).add("}"));
    jp->first = 0;
}

ZENT_EXPORT void jprint_begin_list(jprint_t *jp, const char *key)
{
    // The opening bracket, its line break and the next level's indentation go as one unit.
    int inner = jp->indent + jp->step;
    emit(jp, prefix(jp, key).add(compact(jp) ? "[" : "[\n").blanks(inner));
    jp->indent = inner;
    jp->first = 1;
}

ZENT_EXPORT void jprint_end_list(jprint_t *jp)
{
    jp->indent -= jp->step;
    emit(jp, Element().add(compact(jp) ? "" : "\n").blanks(jp->indent).add("]"));
    jp->first = 0;
}

ZENT_EXPORT void jprint_string(jprint_t *jp, const char *key, const char *text)
{
    string_value(jp, key, text != nullptr ? text : "");
}

ZENT_EXPORT void jprint_bool(jprint_t *jp, const char *key, int value)
{
    number_value(jp, key, value ? "true" : "false");
}

ZENT_EXPORT void jprint_int(jprint_t *jp, const char *key, int value)
{
    char scratch[100];
    number_value(jp, key, formatted(scratch, value));
}

ZENT_EXPORT void jprint_float(jprint_t *jp, const char *key, float value)
{
    // JSON has no spelling for NaN or infinity.
    if (!std::isfinite(value)) {
        number_value(jp, key, "null");
        return;
    }
    char scratch[100];
    number_value(jp, key, formatted(scratch, static_cast<double>(value), std::chars_format::fixed));
}

ZENT_EXPORT void jprint_double(jprint_t *jp, const char *key, double value)
{
    if (!std::isfinite(value)) {
        number_value(jp, key, "null");
        return;
    }
    char scratch[100];
    number_value(jp, key, formatted(scratch, value, std::chars_format::general));
}

ZENT_EXPORT void jprint_ulong(jprint_t *jp, const char *key, unsigned long value)
{
    char scratch[100];
    number_value(jp, key, formatted(scratch, value));
}

ZENT_EXPORT void jprint_timestamp(jprint_t *jp, const char *key, const struct tm *tm)
{
    char scratch[100];
    if (tm == nullptr)
        scratch[0] = '\0';
    else
        std::snprintf(scratch, sizeof scratch, "%d%.2d%.2d%.2d%.2d%.2d", tm->tm_year + 1900,
                      tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec);
    string_value(jp, key, scratch);
}

ZENT_EXPORT int jprint_length(const jprint_t *jp)
{
    if (jp == nullptr || jp->start == nullptr)
        return 0;
    return static_cast<int>(jp->cur - jp->start);
}

ZENT_EXPORT int jprint_cleanup(jprint_t *jp)
{
    int owned = jp->owns;
    if (jp->owns)
        std::free(jp->start);
    jp->owns = 0;
    jp->start = jp->cur = nullptr;
    return owned;
}

ZENT_EXPORT void jprint_example1(void)
{
    jprint_t jp;
    if (jprint_init(&jp, nullptr, 1024, 0, 2) != 0)
        return;
    struct tm when = {};
    when.tm_year = 2024 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 5;
    when.tm_hour = 7;
    when.tm_min = 8;
    when.tm_sec = 9;
    jprint_begin_dict(&jp, nullptr);
    jprint_string(&jp, "name", "stereo");
    jprint_int(&jp, "count", 3);
    jprint_double(&jp, "ratio", 0.5);
    jprint_bool(&jp, "enabled", 1);
    jprint_timestamp(&jp, "when", &when);
    jprint_begin_list(&jp, "sizes");
    jprint_int(&jp, nullptr, 320);
    jprint_int(&jp, nullptr, 640);
    jprint_end_list(&jp);
    jprint_end_dict(&jp);
    std::printf("%s\n", jp.start);
    jprint_cleanup(&jp);
}

} // extern "C"
