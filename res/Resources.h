#pragma once

#include <QCursor>
#include <QDialog>
#include <QIcon>
#include <QPixmap>

class QLabel;

namespace velmora {

struct SDialogTemplate;

// The program's icon, at the usual sizes.
QIcon AppIcon();
// The banner both windows show, painted for the given size.
QPixmap BannerPixmap(QSize size);
// The hand shown over the banners; one for the whole process.
const QCursor& SharedHandCursor();

// A fixed window with the template's caption, caption bar and close box (no
// minimise or maximise), and our icon.
void SetUpDialogFrame(QDialog& dlg, const SDialogTemplate& tmpl);

// A banner picture: painted to fit, with the hand over it, its clicks
// reported to pFilter.
void SetUpBanner(QLabel& banner, QObject* pFilter);

} // namespace velmora
