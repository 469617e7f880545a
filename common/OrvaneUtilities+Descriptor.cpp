#include "OrvaneUtilities+Descriptor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QStringDecoder>
#include <QtEndian>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace OrvaneUtilities {

namespace {

// Characters a path may keep in a file URL; everything else is escaped.
constexpr char kKeptInURLPath[] = "/!$&'()*+,;=:@";

std::string absolutePath(const std::string& path) {
    if (path.front() == '/') return path;
    std::string folder(4096, '\0');
    if (!getcwd(folder.data(), folder.size())) return {};
    folder.resize(std::strlen(folder.c_str()));
    return folder == "/" ? "/" + path : folder + "/" + path;
}

}  // namespace

AEDescriptor descriptorWithBOOL(bool value) {
    return AEDescriptor::descriptorWithDescriptorType(value ? AEType::trueType : AEType::falseType,
                                                      {});
}

std::optional<AEDescriptor> descriptorWithPSN(const ProcessSerialNumber* psn) {
    if (!psn) return std::nullopt;
    QByteArray data(8, '\0');
    qToLittleEndian(psn->highLongOfPSN, data.data());
    qToLittleEndian(psn->lowLongOfPSN, data.data() + 4);
    return AEDescriptor::descriptorWithDescriptorType(AEType::processSerialNumber, data);
}

std::optional<AEDescriptor> descriptorWithPath(const std::string& path) {
    return descriptorWithPathAsAlias(path);
}

std::optional<AEDescriptor> descriptorWithPathAsAlias(const std::string& path) {
    if (path.empty()) return std::nullopt;
    // realpath itself rather than the string helpers, which would bring libmount into the
    // command-line client.
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    if (!real) return std::nullopt;
    return AEDescriptor::descriptorWithDescriptorType(AEType::alias, QByteArray(real.get()));
}

std::optional<AEDescriptor> descriptorWithPathAsCFURL(const std::string& path) {
    if (path.empty()) return std::nullopt;
    std::string absolute = absolutePath(path);
    if (absolute.empty()) return std::nullopt;
    struct stat status;
    if (absolute.back() != '/' && ::stat(absolute.c_str(), &status) == 0 &&
        S_ISDIR(status.st_mode)) {
        absolute += '/';
    }
    const QByteArray url =
        "file://" + QByteArray::fromStdString(absolute).toPercentEncoding(kKeptInURLPath);
    return AEDescriptor::descriptorWithDescriptorType(AEType::fileURL, url);
}

std::optional<AEDescriptor> descriptorWithPathAsFSRef(const std::string& path) {
    struct stat status;
    if (path.empty() || ::stat(path.c_str(), &status) != 0) return std::nullopt;
    QByteArray data(sizeof(FSRef::hidden), '\0');
    qToLittleEndian(quint64(status.st_dev), data.data());
    qToLittleEndian(quint64(status.st_ino), data.data() + 8);
    return AEDescriptor::descriptorWithDescriptorType(AEType::fsRef, data);
}

std::optional<AEDescriptor> propertyDescriptorOfType(FourCharCode propertyCode,
                                                     const AEDescriptor& container) {
    auto typeCode = [](FourCharCode code) {
        return AEDescriptor::descriptorWithDescriptorType(AEType::type, fourCharCodeBytes(code));
    };
    AEDescriptor specifier = AEDescriptor::recordDescriptor(AEType::objectSpecifier);
    specifier.setParamDescriptor(typeCode(AEType::property), fourCharCode("want"));
    specifier.setParamDescriptor(AEDescriptor::descriptorWithDescriptorType(
                                     AEType::enumerated, fourCharCodeBytes(AEType::property)),
                                 fourCharCode("form"));
    specifier.setParamDescriptor(typeCode(propertyCode), fourCharCode("seld"));
    specifier.setParamDescriptor(container, fourCharCode("from"));
    return specifier;
}

bool retrieveURL(const AEDescriptor& descriptor, QUrl* url) {
    if (!url) return false;
    *url = QUrl();
    if (descriptor.descriptorType() != AEType::fileURL || descriptor.isList() ||
        descriptor.isRecord() || descriptor.data().isEmpty()) {
        return false;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(descriptor.data());
    if (decoder.hasError()) return false;
    const QUrl parsed(text, QUrl::StrictMode);
    if (!parsed.isValid()) return false;
    *url = parsed;
    return true;
}

bool retrieveFSRef(const AEDescriptor& descriptor, FSRef* ref) {
    if (!ref) return false;
    *ref = FSRef();
    if (descriptor.descriptorType() != AEType::fsRef || descriptor.isList() ||
        descriptor.isRecord()) {
        return false;
    }
    std::memcpy(ref->hidden, descriptor.data().constData(),
                std::min(sizeof(ref->hidden), size_t(descriptor.data().size())));
    return true;
}

std::optional<AEDescriptor> resolvedObjectSpecifier(const AEDescriptor& descriptor) {
    if (descriptor.descriptorType() != AEType::objectSpecifier) return descriptor;
    return std::nullopt;
}

std::optional<std::string> pathOfFileURL(const QUrl& url) {
    if (!url.isValid() || url.scheme() != QLatin1String("file")) return std::nullopt;
    std::string path =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString();
    if (path.empty()) return std::nullopt;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace OrvaneUtilities
