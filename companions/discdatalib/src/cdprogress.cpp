#include "cdprogress.h"

CDProgress::CDProgress(CD::EProgressType kind, unsigned long value1, unsigned long value2)
    : m_nKind(kind), m_nValue1(value1), m_nValue2(value2) {}

CDProgress::~CDProgress() = default;

CD::EProgressType CDProgress::GetKind() const {
    return m_nKind;
}

unsigned long CDProgress::GetValue1() const {
    return m_nValue1;
}

unsigned long CDProgress::GetValue2() const {
    return m_nValue2;
}
