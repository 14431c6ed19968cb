// SPDX-License-Identifier: MIT
#include "PortStatusText.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace
{

QString Path(const std::string &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

QString HoldersText(const std::vector<std::string> &holders)
{
    QStringList names;
    for (const std::string &h : holders)
        names << QString::fromStdString(h);
    return names.join(QStringLiteral(", "));
}

// The system's own words, in parentheses, when it said any.
QString Detail(const platform::OpenProblem &problem)
{
    return problem.detail.empty() ? QString()
                                  : QStringLiteral("（%1）").arg(QString::fromStdString(problem.detail));
}

QString NotConnectedPrefix()
{
    return QStringLiteral("ポート未接続: ");
}

} // namespace

QString PortTargetName(const platform::PortTarget &target)
{
    if (target.isLoopback())
        return QStringLiteral("ループバック");
    return target.found() ? Path(target.path) : QString();
}

QString OpenFailureReason(const platform::OpenProblem &problem)
{
    using Kind = platform::OpenProblem::Kind;
    const QString com = QStringLiteral("COM%1").arg(problem.comNumber);
    const QString device = PortTargetName(problem.target);
    const bool mapped = problem.target.source == platform::PortTarget::Source::PortsSection;
    switch (problem.kind) {
    case Kind::None:
        break;
    case Kind::NotMapped: {
        const std::vector<std::string> found = platform::DetectedSerialDevices();
        QStringList paths;
        for (const std::string &p : found)
            paths << Path(p);
        QString text = QStringLiteral("%1 に当たる装置がありません。設定ファイルの [PORTS] に %1 の行がなく、"
                                      "検出されたシリアル装置は %2 個です")
                           .arg(com)
                           .arg(found.size());
        if (!paths.isEmpty())
            text += QStringLiteral("（%1）").arg(paths.join(QStringLiteral(", ")));
        return text +
               QStringLiteral("。[PORTS] に %1=/dev/ttyUSB0 のように書くと割り当てられます。").arg(com);
    }
    case Kind::NotPresent:
        if (problem.target.isLoopback())
            return QStringLiteral("%1 のループバックは外されています。").arg(com);
        return QStringLiteral("%1 の装置 %2 が見つかりません%3。装置がつながっているか確かめてください。")
            .arg(com, device,
                 mapped ? QStringLiteral("（設定ファイルの [PORTS] の %1）").arg(com) : QString());
    case Kind::NotSerial:
        return QStringLiteral("%1 はシリアル装置ではありません%2。")
            .arg(device, mapped ? QStringLiteral("（設定ファイルの [PORTS] の %1）").arg(com) : QString());
    case Kind::NoAccess: {
        const platform::DeviceRights rights = platform::DeviceAccess(problem.target.path);
        if (!rights.groupToJoin.empty())
            return QStringLiteral(
                       "%1 を開く権限がありません。このユーザーを装置のグループ「%2」に加えてください: "
                       "sudo usermod -aG %2 $USER （そのあとログインし直してください）")
                .arg(device, QString::fromStdString(rights.groupToJoin));
        if (!rights.owner.empty())
            return QStringLiteral("%1 を開く権限がありません。装置の所有者は「%2」で、"
                                  "このユーザーには読み書きの権限がありません。")
                .arg(device, QString::fromStdString(rights.owner));
        return QStringLiteral("%1 を開く権限がありません。").arg(device);
    }
    case Kind::InUse: {
        if (problem.target.isLoopback())
            return QStringLiteral("%1 のループバックは使用中です。").arg(com);
        const std::vector<std::string> holders = platform::DeviceHolders(problem.target.path);
        if (holders.empty())
            return QStringLiteral("%1 は他のプログラムが使用中です。").arg(device);
        return QStringLiteral("%1 は他のプログラムが使用中です: %2").arg(device, HoldersText(holders));
    }
    case Kind::SettingRefused:
        return QStringLiteral("%1 がこの通信設定を受け付けません（通信速度 %2 bps など）。")
            .arg(device)
            .arg(problem.baudRate);
    case Kind::Other:
        return QStringLiteral("%1 を開けませんでした（エラー %2）。").arg(device).arg(problem.error);
    case Kind::BadAddress:
        return QStringLiteral(
                   "%1 のアドレス %2 は使えません（%3）。rfc2217://ホスト:ポート か socket://ホスト:ポート "
                   "と書いてください。")
            .arg(com, device, QString::fromStdString(problem.target.addressProblem));
    case Kind::HostNotFound:
        return QStringLiteral("%1 に接続できません: ホスト名 %2 が見つかりません。")
            .arg(device, QString::fromStdString(problem.target.host));
    case Kind::Refused:
        return QStringLiteral(
                   "%1 に接続できません: 接続を拒否されました（サーバーが動いているか、ポート番号、"
                   "ほかの人が使っていないかを確かめてください）。%2")
            .arg(device, Detail(problem));
    case Kind::Unreachable:
        return QStringLiteral("%1 に接続できません: ホストに届きません（ネットワークを確かめてください）。%2")
            .arg(device, Detail(problem));
    case Kind::TimedOut:
        return QStringLiteral("%1 に接続できません: 応答がありません（時間切れ）。").arg(device);
    case Kind::NotRfc2217:
        return QStringLiteral(
                   "%1 に接続できません: サーバーが RFC 2217 に応えません（ser2net なら accepter を "
                   "telnet(rfc2217) にするか、socket:// を使ってください）。%2")
            .arg(device, Detail(problem));
    }
    return {};
}

QString OpenFailureDetail(const platform::OpenProblem &problem, const QString &settingsFile)
{
    using Kind = platform::OpenProblem::Kind;
    QString reason = OpenFailureReason(problem);
    const bool mapped = problem.target.source == platform::PortTarget::Source::PortsSection;
    // Only where the user is sent to [PORTS]: a device in use or without rights is not fixed there.
    const bool fixInFile = problem.kind == Kind::NotMapped ||
                           (mapped && !problem.target.isLoopback() &&
                            (problem.kind == Kind::NotPresent || problem.kind == Kind::NotSerial ||
                             problem.kind == Kind::BadAddress || problem.kind == Kind::HostNotFound));
    if (!fixInFile || settingsFile.isEmpty())
        return reason;
    const QString missing =
        QFileInfo::exists(settingsFile)
            ? QString()
            : QStringLiteral("（まだありません。終了時に作られますが、先に作って書いてもかまいません）");
    return reason + QStringLiteral("設定ファイル: %1%2。詳しくはヘルプの「ポートの割り当て」を見てください。")
                        .arg(settingsFile, missing);
}

QString NotConnectedStatus(const QString &reason, bool waiting)
{
    return NotConnectedPrefix() + reason +
           (waiting ? QStringLiteral(" 装置がつながるのを待っています（自動再接続）") : QString());
}

bool IsNotConnectedStatus(const QString &text)
{
    return text.startsWith(NotConnectedPrefix());
}

QString ConnectFailureShort(const platform::OpenProblem &problem)
{
    using Kind = platform::OpenProblem::Kind;
    switch (problem.kind) {
    case Kind::BadAddress:
        return QStringLiteral("アドレスが使えません");
    case Kind::HostNotFound:
        return QStringLiteral("ホスト名が見つかりません");
    case Kind::Refused:
        return QStringLiteral("接続を拒否されました");
    case Kind::Unreachable:
        return QStringLiteral("ホストに届きません");
    case Kind::TimedOut:
        return QStringLiteral("応答がありません");
    case Kind::NotRfc2217:
        return QStringLiteral("RFC 2217 に応えません");
    default:
        return OpenFailureReason(problem);
    }
}

QString DeviceStateText(platform::DeviceState state)
{
    switch (state) {
    case platform::DeviceState::Available:
        return QStringLiteral("使用可能");
    case platform::DeviceState::Missing:
        return QStringLiteral("未検出");
    case platform::DeviceState::NoAccess:
        return QStringLiteral("アクセス権なし");
    case platform::DeviceState::InUse:
        return QStringLiteral("使用中");
    }
    return {};
}

QString DeviceSummary(const platform::DeviceInfo &info)
{
    QStringList parts;
    for (const std::string *s : {&info.manufacturer, &info.product})
        if (!s->empty())
            parts << QString::fromStdString(*s);
    if (!info.vendorId.empty())
        parts << QStringLiteral("%1:%2").arg(QString::fromStdString(info.vendorId),
                                             QString::fromStdString(info.productId));
    if (!info.serial.empty())
        parts << QStringLiteral("S/N %1").arg(QString::fromStdString(info.serial));
    if (parts.isEmpty() && !info.byIdName.empty())
        parts << QString::fromStdString(info.byIdName);
    return parts.join(QLatin1Char(' '));
}
