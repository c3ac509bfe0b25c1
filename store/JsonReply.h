#pragma once

#include <QByteArray>
#include <QString>

class QSqlQuery;

// The reply texts with which browser calls answer. Every text value is JSON-escaped, so a
// reply always parses; for ordinary text the bytes are those the browser pages expect.

// {"success":true} with "message" and "details" when they are not empty.
QByteArray buildSuccessJson(const QString &message = QString(), const QString &details = QString());
// {"error":true} with "message" and "details" when they are not empty.
QByteArray buildErrorJson(const QString &message = QString(), const QString &details = QString());
// The reply of a call that succeeds with nothing to report.
QByteArray plainSuccessJson();

namespace JsonReply {

// The text escaped for use between double quotes: quote, backslash and control characters.
QString escape(const QString &text);
// A quoted, escaped JSON string.
QString quoted(const QString &text);
// Whether the text, put between double quotes as it stands, is a valid JSON string: no bare
// double quote or control character, and every backslash starts a valid escape.
bool isEscapedText(const QString &text);
// A JSON number in the shortest form that reads back as the same double; null when not finite.
QString number(double value);
// Every row of an executed query as [{"column":"value",...},...]; every value is a string and
// NULL is the empty string. The query is read forward from where it stands.
QByteArray rowArray(QSqlQuery &query);
// The current row of a query as one {"column":"value",...} object.
QString rowObject(const QSqlQuery &query);

} // namespace JsonReply
