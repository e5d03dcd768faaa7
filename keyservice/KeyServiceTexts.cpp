// SPDX-License-Identifier: Apache-2.0
#include "KeyServiceTexts.h"

#include "CertJobs.h"

#include "common/LanguageTexts.h"

namespace kx {

QString JournalSettledText(const QString& keyLabel, const SettledWrite& settled)
{
    const QString container = QString::fromLocal8Bit(settled.entry.container);
    QString what;
    switch (settled.entry.kind) {
    case JournalEntry::Kind::Import:
        what = Lang("K_Journal_Import").arg(container);
        break;
    case JournalEntry::Kind::DeleteContainer:
        what = Lang("K_Journal_DelCont").arg(container);
        break;
    case JournalEntry::Kind::DeleteCertificate:
        what = Lang("K_Journal_DelCert").arg(container);
        break;
    case JournalEntry::Kind::Generate:
        what = Lang("K_Journal_Generate").arg(container);
        break;
    }
    const QString form =
        settled.outcome == SettledWrite::Outcome::Undone ? Lang("K_Journal_Undone") : Lang("K_Journal_Finished");
    return form.arg(keyLabel, what);
}

QString KeyWaitingText(const QString& keyLabel, const QString& step)
{
    const std::optional<LangKey> key = LangKey::lookup(step.toStdString());
    return Lang("K_Key_Busy").arg(keyLabel, key ? Language().text(*key) : step);
}

} // namespace kx
