#include "MyHttpRequestHandler.h"

#include "BrowserOpener.h"
#include "DeviceSearch.h"
#include "Email.h"
#include "HelperStarter.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "JsonReply.h"
#include "ModbusEngine.h"
#include "ModulesMngr.h"
#include "StaticFileController.h"
#include "SystemFun.h"
#include "Updates.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryFile>
#include <QUrl>

namespace vexo {

namespace {

// "ftp://" and an authority that names a host; path, query and fragment are not looked at.
bool isFtpWithHost(const QString &address)
{
    const QLatin1String scheme("ftp://");
    if (!address.startsWith(scheme, Qt::CaseInsensitive))
        return false;
    int end = scheme.size();
    while (end < address.size() && address.at(end) != QLatin1Char('/') && address.at(end) != QLatin1Char('?') &&
           address.at(end) != QLatin1Char('#'))
        ++end;
    const QUrl authority(QStringLiteral("ftp://") + address.mid(scheme.size(), end - scheme.size()), QUrl::StrictMode);
    return authority.isValid() && !authority.host().isEmpty();
}

} // namespace

MyHttpRequestHandler::MyHttpRequestHandler(StaticFileController *staticFiles, QSettings *docroot, QObject *parent)
    : HttpRequestHandler(parent), m_staticFiles(staticFiles), m_gate(docroot->fileName())
{
    m_modbusEngine = new ModbusEngine(this);
    // The path is read before the updater moves the shared settings object to its own group.
    const QString path = docroot->value(QStringLiteral("path"), QStringLiteral(".")).toString();
    m_documentRoot = QDir::isAbsolutePath(path) ? path : QDir(QCoreApplication::applicationDirPath()).filePath(path);
    m_modulesMngr = new ModulesMngr(path, this);
    m_updates = new Updates(docroot, this, true);
    m_email = new Email(docroot->fileName(), this);
    m_deviceSearch = new DeviceSearch(this);
    m_systemFun = new SystemFun(this);
}

MyHttpRequestHandler::~MyHttpRequestHandler() = default;

void MyHttpRequestHandler::service(HttpRequest &request, HttpResponse &response)
{
    const t_GetArray params = request.getParameterMap();
    const QByteArray path = request.getPath();
    const bool page = path.contains("ajax.html") || path.contains("saveFile.html") || path.contains("loadFile.html");
    if (!m_gate.admit(request, response, !page))
        return;
    if (path.contains("ajax.html")) {
        const QByteArray body = call(RequestParams::raw(params, "func"), params);
        response.setStatus(200, "OK");
        response.setHeader("Content-Type", "text/html");
        response.write(body, true);
    } else if (path.contains("saveFile.html")) {
        saveFile(request, response, params);
    } else if (path.contains("loadFile.html")) {
        loadFile(request, response);
    } else {
        m_staticFiles->service(request, response);
    }
}

QByteArray MyHttpRequestHandler::underModbusLock(const std::function<QByteArray()> &call)
{
    if (!m_modbusLock.tryLock(m_modbusLockWaitMs))
        return QByteArray();
    const QByteArray reply = call();
    m_modbusLock.unlock();
    return reply;
}

QByteArray MyHttpRequestHandler::call(const QByteArray &func, const t_GetArray &params)
{
    ModbusEngine *engine = m_modbusEngine;
    if (func == "getPortSettings")
        return underModbusLock([engine] { return engine->getPortSettings(); });
    if (func == "connect")
        return underModbusLock([engine, &params] { return engine->connectModbus(params); });
    if (func == "disconnect")
        return underModbusLock([engine] { return engine->disconnectModbus(); });
    if (func == "readRegisters")
        return underModbusLock([engine, &params] { return engine->readRegisters(params, 0); });
    if (func == "writeRegisters")
        return underModbusLock([engine, &params] { return engine->writeRegisters(params, 0); });
    if (func == "identifySlave")
        return underModbusLock([engine] { return engine->identifySlave(0); });
    if (func == "getListOfInstalledModules")
        return m_modulesMngr->getListOfInstalledModules();
    if (func == "getGeneralInfo")
        return m_systemFun->getGeneralInfo();
    if (func == "runFirmwareUpdater") {
        if (!HelperStarter().start(QStringLiteral("Bootloader"), m_systemFun->firmwareUpdaterArgs()))
            return notStarted(QStringLiteral("Bootloader"));
        return QByteArrayLiteral("{\"ok\":\"1\"}");
    }
    if (func == "runAsAdministrator") {
        emit restartAppAsAdmin();
        return QByteArray();
    }
    if (func == "runAutoUpdate") {
        emit runAutoUpdate();
        return QByteArray();
    }
    if (func == "startSearchingDevices")
        return m_deviceSearch->startSearchingDevices();
    if (func == "getSearchedDevices")
        return m_deviceSearch->getSearchedDevices();
    if (func == "sendEmail")
        return m_email->sendEmail(params);
    if (func == "check4Updates") {
        t_GetArray copy = params;
        return m_updates->check4Updates(copy);
    }
    if (func == "startUpdating") {
        t_GetArray copy = params;
        return m_updates->startUpdating(copy);
    }
    if (func == "getUpdateStatus")
        return m_updates->getUpdateStatus();
    if (func == "openFtpInExplorer")
        return openFtp(params);
    return QByteArray();
}

QByteArray MyHttpRequestHandler::openFtp(const t_GetArray &params)
{
    // The browser encodes the address once more than the form does. A "%" that starts no two
    // hex digits was not encoded and stays as it is, so "ftp://host/%" keeps its path.
    const QByteArray decoded = HttpRequest::percentDecode(RequestParams::raw(params, "address"));
    // The text would end at a zero byte and open an address that was not asked for.
    if (decoded.contains('\0'))
        return QByteArrayLiteral("{\"error\":\"Parameter error!\"}");
    const QString address = QString::fromUtf8(decoded);
    // Only an FTP address goes to the desktop's opener, never a file, a program or an option. It
    // goes as one argument of a program started without a shell, so its path may hold anything.
    if (!isFtpWithHost(address))
        return QByteArrayLiteral("{\"error\":\"Parameter error!\"}");
    if (!BrowserOpener::open(address))
        return notStarted(QStringLiteral("xdg-open"));
    return QByteArrayLiteral("{\"ok\":\"FTP opened\"}");
}

QByteArray MyHttpRequestHandler::notStarted(const QString &program)
{
    return "{\"error\":" + JsonReply::quoted(tr("Unable to start %1!").arg(program)).toUtf8() + '}';
}

void MyHttpRequestHandler::saveFile(HttpRequest &request, HttpResponse &response, const t_GetArray &params)
{
    const QByteArray fileName = RequestParams::raw(params, "filename");
    // A name that cannot go into the header would leave the content to be shown as a page.
    if (!RequestParams::has(params, "filename") || !RequestParams::has(params, "fileContent") ||
        !HttpResponse::isHeaderSafe(fileName)) {
        response.setStatus(400, "Bad Request");
        response.write(QByteArray(), true);
        return;
    }
    const QByteArray content = RequestParams::raw(params, "fileContent");
    if (fileName.contains(".pdf")) {
        const QByteArray pdf = m_systemFun->htmlToPdf(QString::fromUtf8(content), m_documentRoot);
        if (pdf.isEmpty()) {
            response.setStatus(500, "Internal error");
            response.write(QByteArray(), true);
            return;
        }
        response.setStatus(200, "OK");
        response.setHeader("Content-Disposition", "attachment; filename=" + fileName);
        response.setHeader("Content-type", "application/pdf");
        response.write(pdf, true);
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-Disposition", "attachment; filename=" + fileName);
    const QByteArray type = request.getHeader("Content-type");
    if (!type.isEmpty())
        response.setHeader("Content-type", type);
    response.write(content, true);
}

void MyHttpRequestHandler::loadFile(HttpRequest &request, HttpResponse &response)
{
    QTemporaryFile *upload = request.getUploadedFile("uploadedfile");
    if (!upload) {
        response.setStatus(400, "Bad Request");
        response.write(QByteArray(), true);
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-type", "text/plain");
    response.write(upload->readAll(), true);
}

} // namespace vexo
