// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QSpinBox>

namespace kx::mon {

// A number field that takes any number typed into it and brings one outside its range to the
// nearer limit when the entry ends: typing 366 into a field of 30 to 365 gives 365, where a
// plain spin box would refuse the last keystroke and keep 36.
class ClampingSpinBox : public QSpinBox
{
    Q_OBJECT

public:
    using QSpinBox::QSpinBox;

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
};

} // namespace kx::mon
