#pragma once

#include <QString>
#include <QVariant>
#include <QVariantList>

// Reads the lists and objects that the browser or an update server sends as script text, without
// running any of it. Accepts ECMAScript array and object literals: JSON plus unquoted keys,
// single-quoted strings, trailing commas and holes, and numbers as JS reads them (hex, legacy
// octal, leading or trailing point). Objects become QVariantMap, arrays QVariantList, numbers
// double, null a std::nullptr_t QVariant and a hole an invalid QVariant.
class ScriptLiteral
{
public:
    // Nesting deeper than this or a text longer than this is refused, so a request cannot
    // exhaust the stack or the memory.
    static constexpr int MaxDepth = 64;
    static constexpr int MaxLength = 8 * 1024 * 1024;

    // ECMAScript array/object literal (JSON plus unquoted keys, single-quoted strings, trailing
    // commas, numbers as JS reads them); false with an error text for anything else. Depth and size bounded.
    // An array keeps its holes in place, so its size is the script's length: values read by
    // position (register values) take it from here.
    static bool parse(const QString &text, QVariant *value, QString *error = nullptr);
    // An array's elements in index order; holes (",,") are passed over, as a walk over the
    // array's properties passes over them: for lists of records, where no position counts.
    // Holes inside nested values stay invalid QVariants.
    static bool parseArray(const QString &text, QVariantList *list, QString *error = nullptr);

    // ECMAScript ToString of a parsed value: numbers in JS form (1, 1.5, 1e+21), null -> "null",
    // true/false, strings as they are; an invalid QVariant (absent field) -> "". Never a null
    // QString, so a bound text stores '' and not NULL.
    static QString toText(const QVariant &value);
    // ECMAScript ToNumber (a string converts as JS reads it; absent -> NaN, null -> 0).
    static double toNumber(const QVariant &value);
    // ECMAScript ToInteger held as a 32-bit signed integer with ToInt32 wrap (never a C++ cast of an
    // out-of-range double); absent, null or non-numeric -> 0 (a numeric string converts as JS does).
    static qint32 toInt32(const QVariant &value);

    // The JS text of a number: "NaN", "Infinity", "-0" written as "0", shortest round-trip digits.
    static QString numberText(double value);
    // JS string-to-number: surrounding white space ignored, "" -> 0, "0x1F", "Infinity"; else NaN.
    static double stringToNumber(const QString &text);
};
