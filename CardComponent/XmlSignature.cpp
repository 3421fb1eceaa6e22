#include "CardComponent/XmlSignature.h"

#include "CardComponent/CardEngine.h"
#include "CardComponent/CardErrors.h"
#include "CardComponent/FileAccess.h"
#include "CardComponent/Limits.h"
#include "TessarollUtil/Log.h"

#include <gnutls/crypto.h>
#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>

namespace card {

namespace {

namespace fs = std::filesystem;

constexpr const char* kDsig = "http://www.w3.org/2000/09/xmldsig#";
constexpr const char* kEnveloped = "http://www.w3.org/2000/09/xmldsig#enveloped-signature";
constexpr const char* kC14n = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";
constexpr const char* kC14nComments =
    "http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments";
constexpr const char* kC14n11 = "http://www.w3.org/2006/12/xml-c14n11";
constexpr const char* kC14n11Comments = "http://www.w3.org/2006/12/xml-c14n11#WithComments";
constexpr const char* kExcC14n = "http://www.w3.org/2001/10/xml-exc-c14n#";
constexpr const char* kExcC14nComments = "http://www.w3.org/2001/10/xml-exc-c14n#WithComments";

using Doc = std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)>;

const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

std::string textOf(const xmlChar* s) {
    return s ? reinterpret_cast<const char*>(s) : std::string();
}

std::string attribute(xmlNodePtr node, const char* name) {
    xmlChar* v = xmlGetProp(node, X(name));
    std::string s = textOf(v);
    xmlFree(v);
    return s;
}

bool isDsig(xmlNodePtr node, const char* localName) {
    return node && node->type == XML_ELEMENT_NODE && node->ns &&
           xmlStrEqual(node->ns->href, X(kDsig)) && xmlStrEqual(node->name, X(localName));
}

xmlNodePtr child(xmlNodePtr parent, const char* localName) {
    for (xmlNodePtr c = parent ? parent->children : nullptr; c; c = c->next)
        if (isDsig(c, localName)) return c;
    return nullptr;
}

void collect(xmlNodePtr node, const char* localName, std::vector<xmlNodePtr>& out) {
    for (xmlNodePtr c = node; c; c = c->next) {
        if (isDsig(c, localName)) out.push_back(c);
        if (c->type == XML_ELEMENT_NODE) collect(c->children, localName, out);
    }
}

// The elements by their Id, ID or id attribute, the first in document order for each value:
// one walk per call however many references name an element.
using IdIndex = std::map<std::string, xmlNodePtr>;

void indexIds(xmlNodePtr node, IdIndex& index) {
    for (xmlNodePtr c = node; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        for (const char* name : {"Id", "ID", "id"})
            if (xmlHasProp(c, X(name))) index.emplace(attribute(c, name), c);
        indexIds(c->children, index);
    }
}

xmlNodePtr addDsig(xmlNodePtr parent, xmlNsPtr ns, const char* name, const char* text = nullptr) {
    return xmlNewChild(parent, ns, X(name), text ? X(text) : nullptr);
}

void setText(xmlNodePtr node, const std::string& text) {
    xmlNodeSetContent(node, nullptr);
    xmlNodeAddContent(node, X(text.c_str()));
}

struct Visibility {
    xmlNodePtr inside = nullptr;    // only this subtree (null: the whole document)
    xmlNodePtr excluded = nullptr;  // never this subtree
};

bool within(xmlNodePtr node, xmlNodePtr ancestor) {
    for (; node; node = node->parent)
        if (node == ancestor) return true;
    return false;
}

int isVisible(void* data, xmlNodePtr node, xmlNodePtr parent) {
    auto* v = static_cast<Visibility*>(data);
    // namespace records have no parent field of their own: the caller names their element
    xmlNodePtr where = (node && node->type == XML_NAMESPACE_DECL) ? parent : node;
    if (!where) return 1;
    if (v->excluded && within(where, v->excluded)) return 0;
    if (v->inside && !within(where, v->inside)) return 0;
    return 1;
}

struct C14nMethod {
    int mode = XML_C14N_1_0;
    int comments = 0;
};

std::optional<C14nMethod> c14nMethod(const std::string& uri) {
    if (uri == kC14n) return C14nMethod{XML_C14N_1_0, 0};
    if (uri == kC14nComments) return C14nMethod{XML_C14N_1_0, 1};
    if (uri == kC14n11) return C14nMethod{XML_C14N_1_1, 0};
    if (uri == kC14n11Comments) return C14nMethod{XML_C14N_1_1, 1};
    if (uri == kExcC14n) return C14nMethod{XML_C14N_EXCLUSIVE_1_0, 0};
    if (uri == kExcC14nComments) return C14nMethod{XML_C14N_EXCLUSIVE_1_0, 1};
    return std::nullopt;
}

std::string canonical(xmlDocPtr doc, Visibility visibility, C14nMethod method) {
    xmlOutputBufferPtr out = xmlAllocOutputBuffer(nullptr);
    if (!out) fail(kOutOfMemory);
    int r = xmlC14NExecute(doc, isVisible, &visibility, method.mode, nullptr, method.comments, out);
    std::string bytes;
    if (r >= 0)
        bytes.assign(reinterpret_cast<const char*>(xmlOutputBufferGetContent(out)),
                     xmlOutputBufferGetSize(out));
    xmlOutputBufferClose(out);
    if (r < 0) fail(kInvalidArgument);
    return bytes;
}

const char* digestUri(gnutls_digest_algorithm_t dig) {
    switch (dig) {
        case GNUTLS_DIG_SHA1: return "http://www.w3.org/2000/09/xmldsig#sha1";
        case GNUTLS_DIG_SHA224: return "http://www.w3.org/2001/04/xmldsig-more#sha224";
        case GNUTLS_DIG_SHA384: return "http://www.w3.org/2001/04/xmldsig-more#sha384";
        case GNUTLS_DIG_SHA512: return "http://www.w3.org/2001/04/xmlenc#sha512";
        default: return "http://www.w3.org/2001/04/xmlenc#sha256";
    }
}

gnutls_digest_algorithm_t digestFromUri(const std::string& uri) {
    for (auto d : {GNUTLS_DIG_SHA1, GNUTLS_DIG_SHA224, GNUTLS_DIG_SHA256, GNUTLS_DIG_SHA384,
                   GNUTLS_DIG_SHA512})
        if (uri == digestUri(d)) return d;
    fail(kBadAlgorithm);
}

std::string signatureUri(bool rsa, gnutls_digest_algorithm_t dig) {
    const char* hash = dig == GNUTLS_DIG_SHA1     ? "sha1"
                       : dig == GNUTLS_DIG_SHA224 ? "sha224"
                       : dig == GNUTLS_DIG_SHA384 ? "sha384"
                       : dig == GNUTLS_DIG_SHA512 ? "sha512"
                                                  : "sha256";
    if (rsa && dig == GNUTLS_DIG_SHA1) return "http://www.w3.org/2000/09/xmldsig#rsa-sha1";
    return std::string(rsa ? "http://www.w3.org/2001/04/xmldsig-more#rsa-"
                           : "http://www.w3.org/2001/04/xmldsig-more#ecdsa-") +
           hash;
}

std::string digest(gnutls_digest_algorithm_t dig, std::string_view data) {
    unsigned char out[64];
    if (gnutls_hash_fast(dig, data.data(), data.size(), out) < 0) fail(kFailed);
    return std::string(reinterpret_cast<char*>(out), gnutls_hash_get_len(dig));
}

// libxml2 reports what it meets (canonicalisation, serialisation) on the process's stderr
// unless told otherwise; the service has no use for that, the log does. The handler is per
// thread in libxml2, so it is set for the length of each XML call.
void logXmlError(void*, xmlErrorPtr error) {
    if (!error || !error->message) return;
    std::string text = error->message;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    setLog(kComponentLogName);
    writeWarningLog("XML: ", text);
}

// Sessions work on XML side by side; libxml2's one-time set-up must not run twice at once.
struct XmlErrorsToLog {
    XmlErrorsToLog() {
        static std::once_flag ready;
        std::call_once(ready, xmlInitParser);
        xmlSetStructuredErrorFunc(nullptr, logXmlError);
    }
    ~XmlErrorsToLog() { xmlSetStructuredErrorFunc(nullptr, nullptr); }
    XmlErrorsToLog(const XmlErrorsToLog&) = delete;
    XmlErrorsToLog& operator=(const XmlErrorsToLog&) = delete;
};

Doc parse(std::string_view xml) {
    if (xml.size() > kXmlDocumentLimit)
        refuseOverLimit("XML document bytes", xml.size(), kXmlDocumentLimit);
    // No network, no entity expansion, no external DTD: the page's XML is data, nothing more.
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc || !xmlDocGetRootElement(doc)) {
        if (doc) xmlFreeDoc(doc);
        fail(kInvalidArgument);
    }
    return Doc(doc, xmlFreeDoc);
}

// An external reference: a plain relative file name found in one of the reference folders
// that lie in the allowed folders. A reference folder outside them is not even looked in.
std::string externalReference(const std::string& uri, const std::vector<std::string>& dirs) {
    if (uri.find(':') != std::string::npos || uri.find('\\') != std::string::npos || uri.empty() ||
        uri[0] == '/')
        fail(kAccessDenied);
    fs::path relative(uri);
    for (const auto& part : relative)
        if (part == "..") fail(kAccessDenied);
    bool refusedFolder = false;
    for (const auto& dir : dirs) {
        const FolderUse use = folderUse(dir);
        refusedFolder = refusedFolder || use == FolderUse::Refused;
        if (use != FolderUse::Allowed) continue;
        std::error_code ec;
        fs::path base = fs::canonical(dir, ec);
        if (ec) continue;
        fs::path file = fs::weakly_canonical(base / relative, ec);
        if (ec || !fs::is_regular_file(file, ec)) continue;
        auto rel = file.lexically_relative(base);
        if (rel.empty() || *rel.begin() == "..") fail(kAccessDenied);  // a link out of the folder
        return readAllowedFile(file.string());
    }
    fail(refusedFolder ? kAccessDenied : kFileNotFound);
}

// A reference's digest depends only on what it names, how that is transformed and the
// digest algorithm. Many references to the same part are digested once per call.
using DigestKey = std::tuple<bool, std::string, bool, int, int, int>;

struct Prepared {
    Doc doc;
    xmlNodePtr signature;
    std::map<DigestKey, std::string> digests;  // base64 of each digest made in this call
    std::optional<IdIndex> ids;                // made when a reference first names an element
};

xmlNodePtr findById(Prepared& p, const std::string& id) {
    if (!p.ids) indexIds(xmlDocGetRootElement(p.doc.get()), p.ids.emplace());
    auto found = p.ids->find(id);
    return found == p.ids->end() ? nullptr : found->second;
}

xmlNodePtr templateSignature(xmlNodePtr root, const std::string& signId) {
    std::vector<xmlNodePtr> signatures;
    collect(root, "Signature", signatures);
    for (xmlNodePtr s : signatures)
        if (signId.empty() || attribute(s, "Id") == signId) return s;
    return nullptr;
}

// Without a template: a complete enveloped signature over the whole document.
xmlNodePtr addEnvelopedSignature(xmlNodePtr root, const XmlSigningOptions& options) {
    xmlNodePtr sig = xmlNewChild(root, nullptr, X("Signature"), nullptr);
    xmlNsPtr ns = xmlNewNs(sig, X(kDsig), X("ds"));
    xmlSetNs(sig, ns);
    if (!options.signId.empty()) xmlSetProp(sig, X("Id"), X(options.signId.c_str()));
    xmlNodePtr info = addDsig(sig, ns, "SignedInfo");
    xmlSetProp(addDsig(info, ns, "CanonicalizationMethod"), X("Algorithm"), X(kExcC14n));
    xmlSetProp(addDsig(info, ns, "SignatureMethod"), X("Algorithm"),
               X(signatureUri(true, options.digest).c_str()));
    xmlNodePtr ref = addDsig(info, ns, "Reference");
    xmlSetProp(ref, X("URI"), X(""));
    xmlNodePtr transforms = addDsig(ref, ns, "Transforms");
    xmlSetProp(addDsig(transforms, ns, "Transform"), X("Algorithm"), X(kEnveloped));
    xmlSetProp(addDsig(transforms, ns, "Transform"), X("Algorithm"), X(kExcC14n));
    xmlSetProp(addDsig(ref, ns, "DigestMethod"), X("Algorithm"), X(digestUri(options.digest)));
    addDsig(ref, ns, "DigestValue");
    addDsig(sig, ns, "SignatureValue");
    return sig;
}

struct DigestNodes {
    xmlNodePtr method;
    xmlNodePtr value;
};

// A reference's DigestMethod and DigestValue, added where the template leaves them out.
DigestNodes digestNodes(xmlNodePtr ref, xmlNsPtr ns, gnutls_digest_algorithm_t dig) {
    xmlNodePtr method = child(ref, "DigestMethod");
    xmlNodePtr value = child(ref, "DigestValue");
    if (!method) {
        method = xmlNewNode(ns, X("DigestMethod"));
        xmlSetProp(method, X("Algorithm"), X(digestUri(dig)));
        if (value)
            xmlAddPrevSibling(value, method);
        else
            xmlAddChild(ref, method);
    }
    if (!value) value = addDsig(ref, ns, "DigestValue");
    return {method, value};
}

struct ReferenceTransforms {
    bool enveloped = false;
    std::optional<C14nMethod> c14n;
};

ReferenceTransforms referenceTransforms(xmlNodePtr ref) {
    ReferenceTransforms found;
    xmlNodePtr transforms = child(ref, "Transforms");
    if (!transforms) return found;
    for (xmlNodePtr t = transforms->children; t; t = t->next) {
        if (!isDsig(t, "Transform")) continue;
        std::string a = attribute(t, "Algorithm");
        if (a == kEnveloped)
            found.enveloped = true;
        else if (auto m = c14nMethod(a))
            found.c14n = m;
        else
            fail(kBadAlgorithm);
    }
    return found;
}

// What a reference digests: a part of the document itself, or a file beside it.
std::string referencedData(Prepared& p, xmlNodePtr ref, const ReferenceTransforms& transforms,
                           const std::vector<std::string>& referenceDirs) {
    std::string uri = attribute(ref, "URI");
    bool hasUri = xmlHasProp(ref, X("URI")) != nullptr;
    if (hasUri && (uri.empty() || uri[0] == '#')) {
        Visibility v;
        if (!uri.empty()) {
            v.inside = findById(p, uri.substr(1));
            if (!v.inside) fail(kInvalidArgument);
        }
        if (transforms.enveloped) v.excluded = p.signature;
        return canonical(p.doc.get(), v, transforms.c14n.value_or(C14nMethod{}));
    }
    std::string data = externalReference(uri, referenceDirs);
    if (transforms.c14n) {
        Doc ext = parse(data);
        data = canonical(ext.get(), Visibility{}, *transforms.c14n);
    }
    return data;
}

// What a reference names changes while the digests are filled in when it holds this
// signature's SignedInfo (the whole document, or an element around or inside it, without the
// enveloped-signature transform): such a digest is made afresh each time.
bool digestStaysTheSame(Prepared& p, const std::string& uri,
                        const ReferenceTransforms& transforms) {
    if (transforms.enveloped) return true;
    if (uri.empty()) return false;
    if (uri[0] != '#') return true;  // a file
    xmlNodePtr info = child(p.signature, "SignedInfo");
    xmlNodePtr part = findById(p, uri.substr(1));
    return part && !within(info, part) && !within(part, info);
}

void digestReference(Prepared& p, xmlNodePtr ref, const XmlSigningOptions& options) {
    const DigestNodes nodes = digestNodes(ref, p.signature->ns, options.digest);
    xmlChar* content = xmlNodeGetContent(nodes.value);
    std::string given = textOf(content);
    xmlFree(content);
    if (options.keepGivenDigests && given.find_first_not_of(" \t\r\n") != std::string::npos) return;
    std::string algorithm = attribute(nodes.method, "Algorithm");
    if (algorithm.empty()) {
        algorithm = digestUri(options.digest);
        xmlSetProp(nodes.method, X("Algorithm"), X(algorithm.c_str()));
    }
    gnutls_digest_algorithm_t dig = digestFromUri(algorithm);
    const ReferenceTransforms transforms = referenceTransforms(ref);
    const C14nMethod c14n = transforms.c14n.value_or(C14nMethod{-1, 0});
    DigestKey key{xmlHasProp(ref, X("URI")) != nullptr,
                  attribute(ref, "URI"),
                  transforms.enveloped,
                  c14n.mode,
                  c14n.comments,
                  dig};
    const bool reusable = digestStaysTheSame(p, std::get<1>(key), transforms);
    if (auto known = p.digests.find(key); reusable && known != p.digests.end()) {
        setText(nodes.value, known->second);
        return;
    }
    const std::string data = referencedData(p, ref, transforms, options.referenceDirs);
    std::string value = base64Encode(digest(dig, data));
    setText(nodes.value, value);
    if (reusable) p.digests.emplace(std::move(key), std::move(value));
}

Prepared prepare(std::string_view xml, const XmlSigningOptions& options) {
    Prepared p{parse(xml), nullptr, {}, std::nullopt};
    xmlNodePtr root = xmlDocGetRootElement(p.doc.get());
    p.signature = templateSignature(root, options.signId);
    if (!p.signature) p.signature = addEnvelopedSignature(root, options);
    xmlNodePtr info = child(p.signature, "SignedInfo");
    if (!info) fail(kInvalidArgument);
    std::vector<xmlNodePtr> references;
    for (xmlNodePtr ref = info->children; ref; ref = ref->next)
        if (isDsig(ref, "Reference")) references.push_back(ref);
    if (references.size() > kReferenceLimit)
        refuseOverLimit("references in one signature", references.size(), kReferenceLimit);
    for (xmlNodePtr ref : references) digestReference(p, ref, options);
    return p;
}

std::string serialize(xmlDocPtr doc) {
    xmlChar* out = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc, &out, &size, "UTF-8");
    if (!out) fail(kOutOfMemory);
    std::string text(reinterpret_cast<char*>(out), static_cast<size_t>(size));
    xmlFree(out);
    return text;
}

}  // namespace

std::string prepareXmlSignature(std::string_view xml, const XmlSigningOptions& options) {
    XmlErrorsToLog errorsToLog;
    Prepared p = prepare(xml, options);
    return serialize(p.doc.get());
}

std::string signXml(std::string_view xml, const XmlSigningOptions& options,
                    const Certificate& signer, const XmlSignFunction& sign) {
    XmlErrorsToLog errorsToLog;
    Prepared p = prepare(xml, options);
    xmlNsPtr ns = p.signature->ns;
    xmlNodePtr info = child(p.signature, "SignedInfo");
    xmlNodePtr canon = child(info, "CanonicalizationMethod");
    if (!canon) {
        canon = xmlNewNode(ns, X("CanonicalizationMethod"));
        xmlSetProp(canon, X("Algorithm"), X(kExcC14n));
        if (info->children)
            xmlAddPrevSibling(info->children, canon);
        else
            xmlAddChild(info, canon);
    }
    auto method = c14nMethod(attribute(canon, "Algorithm"));
    if (!method) fail(kBadAlgorithm);
    xmlNodePtr sigMethod = child(info, "SignatureMethod");
    if (!sigMethod) {
        sigMethod = xmlNewNode(ns, X("SignatureMethod"));
        xmlAddNextSibling(canon, sigMethod);
    }
    xmlSetProp(sigMethod, X("Algorithm"), X(signatureUri(signer.isRsa(), options.digest).c_str()));

    xmlNodePtr value = child(p.signature, "SignatureValue");
    if (!value) {
        value = xmlNewNode(ns, X("SignatureValue"));
        xmlAddNextSibling(info, value);
    }
    xmlNodePtr keyInfo = child(p.signature, "KeyInfo");
    if (!keyInfo) {
        keyInfo = xmlNewNode(ns, X("KeyInfo"));
        xmlAddNextSibling(value, keyInfo);
        addDsig(keyInfo, ns, "X509Data");
    }
    if (xmlNodePtr data = child(keyInfo, "X509Data")) {
        xmlNodePtr certNode = child(data, "X509Certificate");
        if (!certNode) certNode = addDsig(data, ns, "X509Certificate");
        setText(certNode, signer.base64());
    }
    Visibility v;
    v.inside = info;
    std::string signedInfo = canonical(p.doc.get(), v, *method);
    setText(value, base64Encode(sign(signedInfo, options.digest)));
    return serialize(p.doc.get());
}

}  // namespace card
