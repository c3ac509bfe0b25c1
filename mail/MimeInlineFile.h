#pragma once

#include "MimeFile.h"

// A file shown inline, referred to by its content id.
class MimeInlineFile : public MimeFile
{
public:
    explicit MimeInlineFile(QFile *file);

    void prepare() override;
};
