#include "cdresult.h"

CDResult::CDResult(unsigned long first, unsigned long second)
    : m_nFirst(first), m_nSecond(second) {}

CDResult::~CDResult() = default;

unsigned long CDResult::GetFirst() const {
    return m_nFirst;
}

unsigned long CDResult::GetSecond() const {
    return m_nSecond;
}
