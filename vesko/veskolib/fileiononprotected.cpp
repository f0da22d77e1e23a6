#include "fileiononprotected.h"

FileIONonProtected::FileIONonProtected() = default;

FileIONonProtected::~FileIONonProtected() {
    FileIONonProtected::Release();
}

bool FileIONonProtected::Init(VeskoSecurityAttributes* pSecurityAttr) {
    return FileIOService::Init(pSecurityAttr);
}

void FileIONonProtected::Release() {
    FileIOService::Release();
}
