// SPDX-License-Identifier: Apache-2.0
#include "ClampingSpinBox.h"

#include <algorithm>

namespace kx::mon {

namespace {

// Digits only, few enough that the number fits an int.
bool isPlainNumber(const QString& text)
{
    return !text.isEmpty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

} // namespace

QValidator::State ClampingSpinBox::validate(QString& input, int& pos) const
{
    const QValidator::State state = QSpinBox::validate(input, pos);
    // A number beyond the range is kept while typing; fixup() brings it into the range.
    if (state == QValidator::Invalid && isPlainNumber(input.trimmed())) {
        return QValidator::Intermediate;
    }
    return state;
}

void ClampingSpinBox::fixup(QString& input) const
{
    const QString text = input.trimmed();
    if (!isPlainNumber(text)) {
        QSpinBox::fixup(input);
        return;
    }
    input = textFromValue(std::clamp(text.toInt(), minimum(), maximum()));
}

} // namespace kx::mon
