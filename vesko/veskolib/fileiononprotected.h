// The file I/O service of a host that runs directly: FileIOService's own
// implementation, unchanged.
#pragma once

#include "fileioservice.h"

class FileIONonProtected : public FileIOService {
  public:
    FileIONonProtected();
    ~FileIONonProtected() override;

    bool Init(VeskoSecurityAttributes* pSecurityAttr) override;
    void Release() override;
};
