#include "KTLTrayIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSvgRenderer>

#include "KTLFormat.h"
#include "KTLLocalizedString.h"

namespace {

constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QPixmap drawIcon(int size, KTLTrayState state) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QSvgRenderer picture(QStringLiteral(":/com.orvane.Pellora.svg"));
    picture.render(&painter);
    if (state == KTLTrayState::Idle) return pixmap;
    // A badge in the lower right corner, big enough to be seen in a 16-pixel tray.
    const qreal badge = size * 0.5;
    const QRectF circle(size - badge, size - badge, badge, badge);
    const bool attention = state == KTLTrayState::NeedsAttention;
    painter.setPen(QPen(Qt::white, qMax(1.0, size / 32.0)));
    painter.setBrush(attention ? QColor(0xe8, 0x6a, 0x10) : QColor(0x2e, 0x9b, 0xe6));
    painter.drawEllipse(circle);
    painter.setPen(QPen(Qt::white, qMax(1.5, badge / 7), Qt::SolidLine, Qt::RoundCap));
    const QPointF c = circle.center();
    const qreal r = badge / 4;
    if (attention) {
        painter.drawLine(QPointF(c.x(), c.y() - r * 1.2), QPointF(c.x(), c.y() + r * 0.3));
        painter.drawPoint(QPointF(c.x(), c.y() + r * 1.1));
    } else {
        // An open ring: work under way.
        painter.setBrush(Qt::NoBrush);
        painter.drawArc(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 30 * 16, 270 * 16);
    }
    return pixmap;
}

}  // namespace

KTLTrayState trayStateFor(const std::vector<KTLDriveStatus>& drives) {
    KTLTrayState state = KTLTrayState::Idle;
    for (const KTLDriveStatus& drive : drives) {
        if (drive.questionWaiting || drive.lastRunFailed) return KTLTrayState::NeedsAttention;
        if (drive.syncing) state = KTLTrayState::Syncing;
    }
    return state;
}

QString trayToolTipFor(const std::vector<KTLDriveStatus>& drives) {
    QStringList lines{QStringLiteral("Pellora")};
    for (const KTLDriveStatus& drive : drives) {
        QString state;
        if (drive.questionWaiting)
            state = KTLLocalizedString(QStringLiteral("waiting for an answer"));
        else if (drive.syncing)
            state = KTLLocalizedString(QStringLiteral("syncing"));
        else if (drive.lastRunFailed)
            state = KTLLocalizedString(QStringLiteral("last sync failed"));
        else
            state = KTLLocalizedString(QStringLiteral("idle"));
        const QString last =
            drive.lastSync.isValid()
                ? KTLFormatWith(
                      KTLLocalizedString(QStringLiteral("last synced %@")),
                      QLocale().toString(drive.lastSync.toLocalTime(), QLocale::ShortFormat))
                : KTLLocalizedString(QStringLiteral("never synced"));
        lines << QStringLiteral("%1: %2, %3").arg(drive.name, state, last);
    }
    return lines.join(QLatin1Char('\n'));
}

QIcon pelloraIcon() {
    return trayIconFor(KTLTrayState::Idle);
}

QIcon trayIconFor(KTLTrayState state) {
    QIcon icon;
    for (int size : kSizes) icon.addPixmap(drawIcon(size, state));
    return icon;
}
