#include "MimeMessage.h"

#include "MimeMultiPart.h"

#include <typeinfo>

MimeMessage::MimeMessage(bool createAutoMimeContent) : m_autoMimeContentCreated(createAutoMimeContent)
{
    if (createAutoMimeContent)
        m_content = new MimeMultiPart(MimeMultiPart::Related);
}

MimeMessage::~MimeMessage()
{
    if (m_autoMimeContentCreated)
        delete m_content;
}

void MimeMessage::addRecipient(EmailAddress *recipient, RecipientType type)
{
    switch (type) {
    case To: m_recipientsTo.append(recipient); break;
    case Cc: m_recipientsCc.append(recipient); break;
    case Bcc: m_recipientsBcc.append(recipient); break;
    }
}

const QList<EmailAddress *> &MimeMessage::getRecipients(RecipientType type) const
{
    switch (type) {
    case Cc: return m_recipientsCc;
    case Bcc: return m_recipientsBcc;
    default: return m_recipientsTo;
    }
}

void MimeMessage::setContent(MimePart *content)
{
    if (m_autoMimeContentCreated) {
        m_autoMimeContentCreated = false;
        delete m_content;
    }
    m_content = content;
}

static MimeMultiPart *asExactContainer(MimePart *content)
{
    if (content && typeid(*content) == typeid(MimeMultiPart))
        return static_cast<MimeMultiPart *>(content);
    return nullptr;
}

void MimeMessage::addPart(MimePart *part)
{
    if (MimeMultiPart *container = asExactContainer(m_content))
        container->addPart(part);
}

QList<MimePart *> MimeMessage::getParts() const
{
    if (MimeMultiPart *container = asExactContainer(m_content))
        return container->getParts();
    if (m_content)
        return {m_content};
    return {};
}

// The text of a "Q" encoded word. Only what may stand as itself in every place such a word
// can be (a subject as well as the display name of an address) is left as it is: letters,
// digits and "!*+-/". A blank becomes "_", so "_" itself, "=", "?" (which would end the word
// early), the delimiters of an address and every other byte are written as "=XX".
static QString qEncoded(const QString &text)
{
    static const char hex[] = "0123456789ABCDEF";
    const QByteArray bytes = text.toUtf8();
    QString encoded;
    encoded.reserve(bytes.size() * 3);
    for (const char ch : bytes) {
        const uchar byte = uchar(ch);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
            byte == '!' || byte == '*' || byte == '+' || byte == '-' || byte == '/') {
            encoded += QLatin1Char(char(byte));
        } else if (byte == ' ') {
            encoded += QLatin1Char('_');
        } else {
            encoded += QLatin1Char('=');
            encoded += QLatin1Char(hex[byte >> 4]);
            encoded += QLatin1Char(hex[byte & 0x0f]);
        }
    }
    return encoded;
}

QString MimeMessage::encodedName(const EmailAddress &address) const
{
    const QString &name = address.getName();
    if (name.isEmpty())
        return QString();
    switch (m_hEncoding) {
    case MimePart::Base64:
        return QLatin1String(" =?utf-8?B?") + QString::fromLatin1(name.toUtf8().toBase64()) + QLatin1String("?=");
    case MimePart::QuotedPrintable:
        return QLatin1String(" =?utf-8?Q?") + qEncoded(name) + QLatin1String("?=");
    default:
        return QLatin1Char(' ') + name;
    }
}

QString MimeMessage::toString()
{
    QString mime;
    // Without a sender the header still names one, the null sender "<>".
    const EmailAddress noSender;
    const EmailAddress &sender = m_sender ? *m_sender : noSender;
    mime += QLatin1String("From:") + encodedName(sender) + QLatin1String(" <") + sender.getAddress() +
            QLatin1String(">\r\n");

    auto addressList = [this](const QList<EmailAddress *> &list) {
        QString out;
        for (int i = 0; i < list.size(); ++i) {
            if (i > 0)
                out += QLatin1Char(',');
            out += encodedName(*list.at(i)) + QLatin1String(" <") + list.at(i)->getAddress() + QLatin1Char('>');
        }
        return out;
    };
    mime += QLatin1String("To:") + addressList(m_recipientsTo) + QLatin1String("\r\n");
    if (!m_recipientsCc.isEmpty())
        mime += QLatin1String("Cc:") + addressList(m_recipientsCc) + QLatin1String("\r\n");

    mime += QLatin1String("Subject: ");
    switch (m_hEncoding) {
    case MimePart::Base64:
        mime += QLatin1String("=?utf-8?B?") + QString::fromLatin1(m_subject.toUtf8().toBase64()) + QLatin1String("?=");
        break;
    case MimePart::QuotedPrintable:
        mime += QLatin1String("=?utf-8?Q?") + qEncoded(m_subject) + QLatin1String("?=");
        break;
    default:
        mime += m_subject;
    }
    mime += QLatin1String("\r\n");
    mime += QLatin1String("MIME-Version: 1.0\r\n");
    if (m_content)
        mime += m_content->toString();
    return mime;
}
