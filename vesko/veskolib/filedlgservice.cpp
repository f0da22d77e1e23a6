#include "filedlgservice.h"

FileDlgService::FileDlgService() = default;

FileDlgService::~FileDlgService() = default;
