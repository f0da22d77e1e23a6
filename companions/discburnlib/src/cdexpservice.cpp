#include "cdexpservice.h"

CDExpService::CDExpService(const char* name) : m_strName(name) {}

CDExpService::~CDExpService() = default;

const char* CDExpService::GetName() const {
    return m_strName;
}
