#pragma once

#include "EmailAddress.h"
#include "MimePart.h"

#include <QList>
#include <QObject>
#include <QString>

// One mail: the header lines and a single MIME entity (normally the automatic container).
// Addresses and parts stay the caller's; only the automatic container belongs to the message.
class MimeMessage : public QObject
{
public:
    enum RecipientType { To = 0, Cc = 1, Bcc = 2 };

    // true: the content is a multipart/related container that the message owns.
    explicit MimeMessage(bool createAutoMimeContent = true);
    ~MimeMessage() override;

    void setSender(EmailAddress *sender) { m_sender = sender; }
    EmailAddress *getSender() const { return m_sender; }
    void addRecipient(EmailAddress *recipient, RecipientType type = To);
    void addTo(EmailAddress *recipient) { m_recipientsTo.append(recipient); }
    void addCc(EmailAddress *recipient) { m_recipientsCc.append(recipient); }
    void addBcc(EmailAddress *recipient) { m_recipientsBcc.append(recipient); }
    const QList<EmailAddress *> &getRecipients(RecipientType type = To) const;
    void setSubject(const QString &subject) { m_subject = subject; }
    const QString &getSubject() const { return m_subject; }
    void setHeaderEncoding(MimePart::Encoding encoding) { m_hEncoding = encoding; }

    void setContent(MimePart *content);
    MimePart *getContent() const { return m_content; }
    // Adds to the container; does nothing when the content is not exactly a container.
    void addPart(MimePart *part);
    // The container's parts, the content alone, or nothing without content.
    QList<MimePart *> getParts() const;

    virtual QString toString();

private:
    QString encodedName(const EmailAddress &address) const;

    EmailAddress *m_sender = nullptr;
    QList<EmailAddress *> m_recipientsTo;
    QList<EmailAddress *> m_recipientsCc;
    QList<EmailAddress *> m_recipientsBcc;
    QString m_subject;
    MimePart *m_content = nullptr;
    bool m_autoMimeContentCreated;
    MimePart::Encoding m_hEncoding = MimePart::_8Bit;
};
