#pragma once

#include <QWidget>

namespace zoq {

/// Gives a control the name and the description screen readers announce
/// (both UTF-8, usually translated). Every control of zoq's windows has
/// both; tests/ZoqUI walks each window's accessibility tree to hold that.
inline void describe(QWidget& control, const char* name, const char* description) {
    control.setAccessibleName(QString::fromUtf8(name));
    control.setAccessibleDescription(QString::fromUtf8(description));
}

} // namespace zoq
