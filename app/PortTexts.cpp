#include "PortTexts.h"

#include <QStringList>

#include <cerrno>
#include <cstring>

QString PortTooltip(const tavrol::PortEntry& entry) {
    QString text = QString::fromStdString(entry.device);
    QStringList ids;
    if (!entry.usbId.empty()) ids << QString::fromStdString(entry.usbId);
    if (!entry.usbSerial.empty()) ids << QString::fromStdString(entry.usbSerial);
    if (entry.usbProduct.empty() && ids.isEmpty()) return text;
    text += QString::fromUtf8(" — ");
    if (!entry.usbProduct.empty()) text += QString::fromStdString(entry.usbProduct);
    if (!ids.isEmpty()) text += (entry.usbProduct.empty() ? "(" : " (") + ids.join(", ") + ")";
    return text;
}

QString OpenFailureReason(int error, const QString& device) {
    switch (error) {
        case EACCES:
        case EPERM:
            return QString::fromUtf8("没有权限打开 %1。请把当前用户加入 dialout 组（sudo usermod -aG dialout $USER），然后重新登录。")
                .arg(device);
        case EBUSY:
        case EWOULDBLOCK:  // the lock another program holds on the port
            return QString::fromUtf8("%1 正被其他程序使用。").arg(device);
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return QString::fromUtf8("%1 不存在，设备可能已拔出。").arg(device);
        case ENOTTY:
            return QString::fromUtf8("%1 不是串口设备。").arg(device);
        default:
            return device + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
    }
}
