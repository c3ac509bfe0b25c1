#pragma once

#include <QTextDocument>

// A text document that takes its images and style sheets only from data: URLs and from files
// inside one folder (symbolic links resolved): HTML sent by a browser cannot make the program read
// any other file of the machine, nor fetch anything. A refused or undecodable image is drawn as
// one transparent pixel, so Qt never falls back to loading the name itself.
class ConfinedTextDocument : public QTextDocument
{
    Q_OBJECT
public:
    // root: an absolute folder; an empty or missing one admits data: URLs only.
    explicit ConfinedTextDocument(const QString &root, QObject *parent = nullptr);

    // The file a resource name stands for when it lies inside the root, else an empty text.
    QString confinedPath(const QUrl &name) const;

protected:
    QVariant loadResource(int type, const QUrl &name) override;

private:
    QString m_root;
};
