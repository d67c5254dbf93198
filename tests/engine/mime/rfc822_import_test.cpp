#include "engine/mime/rfc822_import.h"

#include "engine/mime/code_pages.h"
#include "engine/mime/gmime_support.h"
#include "engine/mime/header_text.h"
#include "engine/mime/import_reference.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quillmark {
namespace {

using namespace std::chrono;

std::string crlf(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

TEST(Rfc822Import, ReadsPeopleDatesAndIdentifiers)
{
    const auto m = importRfc822(crlf("Received: from a by b; Mon, 07 Dec 2026 09:00:00 +0000\n"
                                     "Received: from c by a;\n"
                                     "\tMon, 07 Dec 2026 10:30:00 +0000\n"
                                     "X-Spam-Report: a trace field GMime is not given,\n"
                                     "\tFrom: with a continuation that looks like a field\n"
                                     "From: =?UTF-8?B?SsO8cmdlbiBNw7xsbGVy?= <juergen@example.de>\n"
                                     "Sender: list@example.org\n"
                                     "To: Ann Lee <ann@example.com>, bob@example.com\n"
                                     "Cc: Friends: carl@example.net, \"Dee, D.\" <dee@example.net>;\n"
                                     "Subject: =?ISO-8859-1?Q?RE:_Gr=FC=DFe?=\n"
                                     "Date: Mon, 07 Dec 2026 08:05:09 +0100\n"
                                     "Message-ID: <abc@example.de>\n"
                                     "In-Reply-To: <prev@example.com>\n"
                                     "References: <first@example.com> <prev@example.com>\n"
                                     "Thread-Topic: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\n"
                                     "Thread-Index: AQHX\n"
                                     " abcd\n"
                                     "X-Priority: 1 (Highest)\n"
                                     "Sensitivity: Private\n"
                                     "\n"
                                     "Hallo\n"));
    EXPECT_FALSE(m.degraded);
    EXPECT_EQ(m.subject,
              "RE: Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(m.subjectPrefix, "RE: ");
    EXPECT_EQ(m.normalizedSubject,
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(m.from.name, "J\xC3\xBCrgen M\xC3\xBCller");
    EXPECT_EQ(m.from.address, "juergen@example.de");
    EXPECT_EQ(m.sender.address, "list@example.org");
    ASSERT_EQ(m.recipients.size(), 4u);  // the group's members count as recipients
    EXPECT_EQ(m.displayTo(), "Ann Lee; bob@example.com");
    EXPECT_EQ(m.displayCc(), "carl@example.net; Dee, D.");
    EXPECT_EQ(m.submitTime, sys_days(2026y / December / 7) + 7h + 5min + 9s);
    EXPECT_EQ(m.deliveryTime, sys_days(2026y / December / 7) + 10h + 30min);
    EXPECT_EQ(m.messageId, "<abc@example.de>");
    EXPECT_EQ(m.inReplyTo, "<prev@example.com>");
    EXPECT_EQ(m.references, "<first@example.com> <prev@example.com>");
    EXPECT_EQ(m.threadTopic,
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(m.threadIndex, "AQHX abcd");
    EXPECT_EQ(m.importance, 2);
    EXPECT_EQ(m.sensitivity, 2);
    EXPECT_EQ(m.bodyText, "Hallo\r\n");
    EXPECT_TRUE(m.transportHeaders.starts_with("Received: from a"));
    EXPECT_NE(m.transportHeaders.find("Sensitivity: Private\r\n"), std::string::npos);
}

TEST(Rfc822Import, MissingHeadersLeaveFieldsEmpty)
{
    const auto m = importRfc822("Subject: bare\n\nno from, no date\n");
    EXPECT_EQ(m.from.address, "");
    EXPECT_FALSE(m.submitTime);
    EXPECT_FALSE(m.deliveryTime);
    EXPECT_TRUE(m.recipients.empty());
    EXPECT_EQ(m.bodyText, "no from, no date\n");
}

TEST(Rfc822Import, SplitsBodiesAttachmentsAndInlineImages)
{
    const auto m = importRfc822(
        crlf("From: a@example.com\nSubject: parts\nMIME-Version: 1.0\n"
             "Content-Type: multipart/mixed; boundary=outer\n\n"
             "--outer\nContent-Type: multipart/related; boundary=rel\n\n"
             "--rel\nContent-Type: multipart/alternative; boundary=alt\n\n"
             "--alt\nContent-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\n"
             "Gr=FC=DFe\n"
             "--alt\nContent-Type: text/html; charset=windows-1252\n\n"
             "<p>Hi <img src=\"cid:logo@x\"></p>\n"
             "--alt--\n"
             "--rel\nContent-Type: image/png\nContent-ID: <logo@x>\nContent-Transfer-Encoding: base64\n\n"
             "iVBORw0KGgo=\n"
             "--rel--\n"
             "--outer\nContent-Type: application/octet-stream\n"
             "Content-Disposition: attachment; filename*=UTF-8''%E2%82%AC%20rates.csv\n"
             "Content-Transfer-Encoding: base64\n\nYSxiCjEsMgo=\n"
             "--outer\nContent-Type: message/rfc822\n\n"
             "From: inner@example.com\nSubject: Inner\n\ninner body\n"
             "--outer--\n"));
    EXPECT_FALSE(m.degraded);
    // The line end before a boundary belongs to the boundary.
    EXPECT_EQ(m.bodyText,
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    ASSERT_TRUE(m.bodyHtml);
    EXPECT_NE(m.bodyHtml->find("cid:logo@x"), std::string::npos);
    EXPECT_EQ(m.htmlCodePage, 1252u);
    ASSERT_EQ(m.attachments.size(), 3u);
    EXPECT_EQ(m.attachments[0].contentId, "logo@x");
    EXPECT_TRUE(m.attachments[0].inlineInHtml);
    EXPECT_EQ(m.attachments[0].data, std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(m.attachments[1].fileName, "\xE2\x82\xAC rates.csv");
    EXPECT_EQ(m.attachments[1].data, "a,b\n1,2\n");
    EXPECT_FALSE(m.attachments[1].inlineInHtml);
    ASSERT_TRUE(m.attachments[2].embedded);
    EXPECT_EQ(m.attachments[2].embedded->subject, "Inner");
    EXPECT_EQ(m.attachments[2].fileName, "Inner");
    EXPECT_TRUE(m.hasVisibleAttachments());
}

TEST(Rfc822Import, HtmlOnlyMailGetsAPlainBody)
{
    const auto html = importRfc822("From: a@example.com\nContent-Type: text/html\n\n<html><style>p{}</style><p>One "
                                   "&amp; two</p><br>three</html>\n");
    EXPECT_EQ(html.bodyText, "One & two\r\n\r\nthree");
}

TEST(Rfc822Import, SignedMailIsStoredAsOutlookStoresIt)
{
    // S/MIME, clear-signed: the bodies from the signed content, one attachment holding the
    // multipart/signed entity byte for byte.
    const std::string entity = crlf(
        "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\";\n micalg=sha-256; boundary=s\n\n"
        "--s\nContent-Type: multipart/mixed; boundary=m\n\n"
        "--m\nContent-Type: multipart/alternative; boundary=a\n\n"
        "--a\nContent-Type: text/plain; charset=utf-8\n\nsigned text\n"
        "--a\nContent-Type: text/html; charset=utf-8\n\n<p>signed text</p>\n--a--\n"
        "--m\nContent-Type: text/csv; name=data.csv\nContent-Disposition: attachment\n\na,b\n--m--\n"
        "--s\nContent-Type: application/pkcs7-signature; name=smime.p7s\nContent-Transfer-Encoding: base64\n\n"
        "MIAGCSqGSIb3DQEHAqCAMIACAQE=\n--s--\n");
    const auto smime = importRfc822(crlf("From: a@example.com\nSubject: signed\nMIME-Version: 1.0\n") + entity);
    EXPECT_EQ(smime.messageClass, "IPM.Note.SMIME.MultipartSigned");
    EXPECT_EQ(smime.bodyText, "signed text");
    EXPECT_EQ(smime.bodyHtml, "<p>signed text</p>");
    ASSERT_EQ(smime.attachments.size(), 1u);
    EXPECT_EQ(smime.attachments[0].mimeType, "multipart/signed");
    EXPECT_EQ(smime.attachments[0].data, entity);
    EXPECT_FALSE(smime.attachments[0].fileName.empty());
    EXPECT_TRUE(smime.hasVisibleAttachments());
    const auto older = importRfc822("From: a@example.com\nContent-Type: multipart/signed; "
                                    "protocol=\"application/x-pkcs7-signature\"; boundary=b\n\n"
                                    "--b\nContent-Type: text/plain\n\nsigned\n"
                                    "--b\nContent-Type: application/x-pkcs7-signature\n\nMIAG\n--b--\n");
    EXPECT_EQ(older.messageClass, "IPM.Note.SMIME.MultipartSigned");
    EXPECT_EQ(older.bodyText, "signed");
    ASSERT_EQ(older.attachments.size(), 1u);
    EXPECT_EQ(older.attachments[0].mimeType, "multipart/signed");

    // Opaque S/MIME keeps its class; PGP/MIME, signed or encrypted, and a signed part inside
    // other mail are plain mail with their parts as they are.
    const auto opaque = importRfc822("From: a@example.com\nContent-Type: application/pkcs7-mime; name=smime.p7m\n"
                                     "Content-Transfer-Encoding: base64\n\nMIAG\n");
    EXPECT_EQ(opaque.messageClass, "IPM.Note.SMIME");
    ASSERT_EQ(opaque.attachments.size(), 1u);
    const auto pgp = importRfc822("From: a@example.com\nContent-Type: multipart/signed; "
                                  "protocol=\"application/pgp-signature\"; micalg=pgp-sha256; boundary=b\n\n"
                                  "--b\nContent-Type: text/plain\n\nsigned\n"
                                  "--b\nContent-Type: application/pgp-signature; name=signature.asc\n\n"
                                  "-----BEGIN PGP SIGNATURE-----\n--b--\n");
    EXPECT_EQ(pgp.messageClass, "IPM.Note");
    EXPECT_EQ(pgp.bodyText, "signed");
    ASSERT_EQ(pgp.attachments.size(), 1u);
    EXPECT_EQ(pgp.attachments[0].fileName, "signature.asc");
    const auto encrypted = importRfc822("From: a@example.com\nContent-Type: multipart/encrypted; "
                                        "protocol=\"application/pgp-encrypted\"; boundary=b\n\n"
                                        "--b\nContent-Type: application/pgp-encrypted\n\nVersion: 1\n"
                                        "--b\nContent-Type: application/octet-stream; name=encrypted.asc\n\n"
                                        "-----BEGIN PGP MESSAGE-----\n--b--\n");
    EXPECT_EQ(encrypted.messageClass, "IPM.Note");
    EXPECT_EQ(encrypted.attachments.size(), 2u);
    const auto nested = importRfc822(
        "From: a@example.com\nContent-Type: multipart/mixed; boundary=o\n\n--o\n"
        "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; boundary=b\n\n"
        "--b\nContent-Type: text/plain\n\nsigned\n--b\nContent-Type: application/pkcs7-signature; name=smime.p7s\n\n"
        "MIAG\n--b--\n--o\nContent-Type: text/plain\n\nlist footer\n--o--\n");
    EXPECT_EQ(nested.messageClass, "IPM.Note");
    EXPECT_EQ(nested.bodyText, "signed");
}

TEST(Rfc822Import, MessyMailIsImportedAndMarked)
{
    // 8-bit header bytes, a NUL in the body, a multipart without boundary.
    std::string text = "From: R\xE9my <r@example.fr>\nSubject: caf\xE9\nContent-Type: multipart/mixed\n\nA";
    text += '\0';
    text += "B\n";
    const auto m = importRfc822(text);
    EXPECT_TRUE(m.degraded);
    EXPECT_FALSE(m.notes.empty());
    EXPECT_EQ(m.from.address, "r@example.fr");
    EXPECT_FALSE(m.subject.empty());

    // A missing closing boundary and a repeated Cc lose nothing: noted, not marked.
    const auto unclosed = importRfc822("From: a@example.com\nCc: b@example.com\nCc: c@example.com\n"
                                       "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
                                       "Content-Type: text/plain\n\nall here\n");
    EXPECT_FALSE(unclosed.degraded) << unclosed.notes.front();
    EXPECT_EQ(unclosed.bodyText.value_or(""), "all here\n");
    EXPECT_EQ(unclosed.recipients.size(), 2u);

    // A line that is no field, first after the trace fields: GMime skips it and reads the rest
    // (had it been given the block without the trace fields, it would have taken the whole
    // block for body text). Repeated Date and Message-ID: the last counts, as in GMime.
    const auto stray = importRfc822(crlf("Received: from a by b; Wed, 23 Feb 2005 17:51:49 -0500\n"
                                         "quite Delivered-To: x@example.com\n"
                                         "Received: by c;\n\tWed, 23 Feb 2005 16:16:17 -0600\n"
                                         "Date: Tue, 22 Feb 2005 10:00:00 +0000\n"
                                         "Date: Wed, 23 Feb 2005 18:20:17 -0400\n"
                                         "From: \"A B\" <a@example.com>\nMessage-ID: <old@x>\nMessage-ID: <id@x>\n"
                                         "In-Reply-To: <p@x>\nImportance: low\nSubject: hello\n\nbody\n"));
    EXPECT_TRUE(stray.degraded);
    EXPECT_EQ(stray.from.address, "a@example.com");
    EXPECT_EQ(stray.subject, "hello");
    EXPECT_EQ(stray.submitTime, sys_days(2005y / February / 23) + 22h + 20min + 17s);
    EXPECT_EQ(stray.deliveryTime, sys_days(2005y / February / 23) + 22h + 51min + 49s);
    EXPECT_EQ(stray.messageId, "<id@x>");
    EXPECT_EQ(stray.inReplyTo, "<p@x>");
    EXPECT_EQ(stray.importance, 0);
    EXPECT_EQ(stray.bodyText, "body\r\n");
    for (const char* line :
         {"Date: Tue, 22 Feb 2005 10:00:00 +0000\n", "Message-ID: <old@x>\n", "In-Reply-To: =?us-ascii?Q?<p@x>?=\n"}) {
        // The same fields read without GMime's parse of them, from a block of proper fields.
        const auto plain = importRfc822(crlf(std::string("From: a@example.com\n") + line
                                             + "Date: Wed, 23 Feb 2005 18:20:17 -0400\nMessage-ID:\n <id@x>\n"
                                               "Importance: low\n\nbody\n"));
        EXPECT_FALSE(plain.degraded) << line;
        EXPECT_EQ(plain.submitTime, stray.submitTime) << line;
        EXPECT_EQ(plain.messageId, "<id@x>") << line;
        EXPECT_EQ(plain.importance, 0) << line;
        if (std::string_view(line).starts_with("In-Reply-To")) {
            EXPECT_EQ(plain.inReplyTo, "<p@x>");
        }
    }
}

TEST(Rfc822Import, DatesAreReadAsGMimeReadsThem)
{
    // Common dates are read without GMime; every date must come out as GMime reads it.
    gmime::ensureInitialised();
    const char* dates[] = {
        "Mon, 7 Dec 2026 09:05 +0100",
        "Mon,07 dec 2026 9:05:07 -0830 (PST)",
        "7 Dec 2026 09:05:07 GMT",
        "  7 Dec 2026 09:05:07 +0000  ",
        "7 Dec 2026 09:05:07 +0100 (a (b) c)",
        "5 Aug 2002 18:30:50 +0900(KST)",
        "31 Feb 2026 09:05:07 +0000",
        "7 Dec 26 09:05:07 +0000",
        "7 Dec 2026 24:00:00 +0000",
        "7 Dec 2026 09:05:60 +0000",
        "7 Dec 2026 09:05:07 EST",
        "7 Dec 2026 09:05:07 +1500",
        "Tuesday, 7 Dec 2026 09:05:07 +0000",
        "7 December 2026 09:05:07 +0000",
        "31 Dec 1969 23:59:59 +0000",
        "1 Jan 1970 00:00:00 +0100",
        "29 Feb 2024 12:00:00 -0000",
        "29 Feb 2023 12:00:00 -0000",
        "Wed, 23 Feb 2005 18:20:17 -0400",
        "",
    };
    for (const char* text : dates) {
        GDateTime* theirs = g_mime_utils_header_decode_date(text);
        EXPECT_EQ(gmime::decodeDate(text), gmime::toSysSeconds(theirs)) << text;
        if (theirs) g_date_time_unref(theirs);
    }
}

TEST(Rfc822Import, EightBitTextIsReadWhateverItsLabelSays)
{
    // Raw 8-bit header bytes: UTF-8 stays, anything else is read as GMime reads 8-bit text, and
    // the header block is converted line by line.
    const auto headers = importRfc822(crlf("From: R\xE9my <r@example.fr>\nTo: J\xC3\xBCrgen <j@example.de>\n"
                                           "Subject: Gr\xC3\xBC\xC3\x9F"
                                           "e\n\nx\n"));
    EXPECT_EQ(headers.from.name, "R\xC3\xA9my");
    EXPECT_EQ(headers.from.address, "r@example.fr");
    EXPECT_EQ(headers.displayTo(), "J\xC3\xBCrgen");
    EXPECT_EQ(headers.subject,
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(headers.transportHeaders,
              "From: R\xC3\xA9my <r@example.fr>\r\nTo: J\xC3\xBCrgen <j@example.de>\r\nSubject: Gr\xC3\xBC\xC3\x9F"
              "e\r\n");

    // Body bytes that do not fit the declared charset are kept, not dropped.
    const auto plain = [](std::string_view contentType, std::string_view bytes) {
        return importRfc822("From: a@example.com\nContent-Type: " + std::string(contentType) + "\n\n"
                            + std::string(bytes))
            .bodyText.value_or("(none)");
    };
    const std::string froesche = "Fr\xC3\xB6sche";
    EXPECT_EQ(plain("text/plain; charset=us-ascii", "Fr\xF6sche"), froesche);
    EXPECT_EQ(plain("text/plain; charset=utf-8", "Fr\xF6sche"), froesche);
    EXPECT_EQ(plain("text/plain", "Fr\xF6sche"), froesche);
    EXPECT_EQ(plain("text/plain; charset=x-unheard-of", "Fr\xF6sche"), froesche);
    EXPECT_EQ(plain("text/plain; charset=us-ascii", froesche), froesche);  // mislabelled UTF-8
    const std::string privet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
    EXPECT_EQ(plain("text/plain; charset=koi8-r", "\xF0\xD2\xC9\xD7\xC5\xD4"), privet);
    EXPECT_EQ(plain("text/plain; charset=utf-16le", std::string("H\0i\0", 4)), "Hi");

    // An HTML-only message's plain body is made from the HTML read in its own charset; the HTML
    // itself keeps its bytes and says which code page they are in.
    const auto html = importRfc822("From: a@example.com\nContent-Type: text/html; charset=koi8-r\n\n"
                                   "<p>\xF0\xD2\xC9\xD7\xC5\xD4</p>\n");
    EXPECT_EQ(html.bodyText, privet);
    EXPECT_EQ(html.bodyHtml, "<p>\xF0\xD2\xC9\xD7\xC5\xD4</p>\n");
    EXPECT_EQ(html.htmlCodePage, 20866u);
}

TEST(Rfc822Import, NulBytesAreLeftOutAndTheTextAroundThemKept)
{
    using namespace std::string_literals;
    const auto m = importRfc822("From: a@example.com\nSubject\0\0: not the subject\nSubject: kept\n"
                                "Content-Type: multipart/mixed; boundary=b\n\n"
                                "--b\nContent-Type: text/plain\n\nbe\0fore\0 after\n"
                                "--b\nContent-Type: text/plain; name=\"n\0ul.txt\"\n\nA\0B\n--b--\n"s);
    EXPECT_EQ(m.subject, "kept");
    EXPECT_EQ(m.bodyText, "before after");
    // A NUL in the header block becomes U+FFFD: dropping it would turn the line into a Subject.
    EXPECT_NE(m.transportHeaders.find("Subject\xEF\xBF\xBD\xEF\xBF\xBD: not the subject\n"), std::string::npos);
    ASSERT_EQ(m.attachments.size(), 1u);
    EXPECT_EQ(m.attachments[0].data, "A\0B"s);  // attachment bytes are bytes
}

// Text goes to the store as it is only when it is UTF-8 without NUL, wherever the first byte
// beyond ASCII stands: in the part read sixteen bytes at a time or after it.
TEST(Rfc822Import, StoreTextIsUtf8WithoutNulWhereverTheFirstOtherByteStands)
{
    using namespace std::string_literals;
    for (std::size_t at = 0; at < 40; ++at) {
        const std::string before(at, 'a');
        SCOPED_TRACE(at);
        EXPECT_TRUE(gmime::isStoreText(before));
        EXPECT_TRUE(gmime::isStoreText(before + "\xC3\xA9" + before));
        EXPECT_FALSE(gmime::isStoreText(before + "\0"s + before));
        EXPECT_FALSE(gmime::isStoreText(before + "\xE9" + before));         // Latin-1
        EXPECT_FALSE(gmime::isStoreText(before + "\xC3"));                  // cut short
        EXPECT_FALSE(gmime::isStoreText(before + "\xC3\xA9\0"s + before));  // NUL after UTF-8
        EXPECT_EQ(gmime::storeText(before + "\0"s + before), before + before);
    }
}

TEST(Rfc822Import, AttachmentsOfEveryShapeKeepTheirBytes)
{
    const auto m = importRfc822(crlf(
        "From: a@example.com\nSubject: shapes\nTo: undisclosed-recipients:;\n"
        "Content-Type: multipart/mixed; boundary=mix\n\n"
        "--mix\nContent-Type: multipart/alternative; boundary=alt\n\n"
        "--alt\nContent-Type: text/plain\n\nplain\n"
        "--alt\nContent-Type: multipart/related; boundary=rel\n\n"
        "--rel\nContent-Type: text/html\n\n<img src=\"cid:pic\">\n"
        "--rel\nContent-Type: image/gif\nContent-ID: <pic>\nContent-Transfer-Encoding: base64\n\nR0lGODlh\n"
        "--rel--\n--alt--\n"
        // TNEF is Outlook's own wrapping: kept as the attachment it is, bytes untouched.
        "--mix\nContent-Type: application/ms-tnef; name=\"winmail.dat\"\nContent-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment; filename=\"winmail.dat\"\n\neJ8+IgEA\n"
        "--mix\nContent-Type: text/plain\n"
        "Content-Disposition: attachment; filename*0*=iso-8859-1''Gr%FC%DFe%20aus;\n filename*1*=%20K%F6ln.txt\n\n"
        "hallo\n"
        "--mix\nContent-Type: application/octet-stream; name*=iso-2022-jp'ja'Dij%8Aat.mp3\n\nmp3\n"
        "--mix\nContent-Type: message/rfc822\n\n"
        "From: inner@example.com\nSubject: =?UTF-8?Q?Inner_=E2=9C=93?=\nContent-Type: multipart/mixed; boundary=in\n\n"
        "--in\nContent-Type: text/plain\n\ninner body\n"
        "--in\nContent-Type: text/csv; name=inner.csv\n\na,b\n--in--\n"
        "--mix--\n"));
    EXPECT_FALSE(m.degraded);
    EXPECT_TRUE(m.recipients.empty());  // a group without members
    EXPECT_EQ(m.bodyText, "plain");
    EXPECT_EQ(m.bodyHtml, "<img src=\"cid:pic\">");
    ASSERT_EQ(m.attachments.size(), 5u);
    EXPECT_EQ(m.attachments[0].contentId, "pic");
    EXPECT_TRUE(m.attachments[0].inlineInHtml);
    EXPECT_EQ(m.attachments[0].data, "GIF89a");
    EXPECT_EQ(m.attachments[1].fileName, "winmail.dat");
    EXPECT_EQ(m.attachments[1].mimeType, "application/ms-tnef");
    EXPECT_EQ(m.attachments[1].data, std::string("\x78\x9f\x3e\x22\x01\x00", 6));
    EXPECT_EQ(m.attachments[2].fileName,
              "Gr\xC3\xBC\xC3\x9F"
              "e aus K\xC3\xB6ln.txt");
    EXPECT_EQ(m.attachments[2].data, "hallo");
    // A name whose bytes are not in its charset still comes out as text.
    EXPECT_EQ(m.attachments[3].fileName,
              "Dij\xC2\x8A"
              "at.mp3");
    ASSERT_TRUE(m.attachments[4].embedded);
    const ImportedMessage& inner = *m.attachments[4].embedded;
    EXPECT_EQ(inner.subject, "Inner \xE2\x9C\x93");
    EXPECT_EQ(m.attachments[4].fileName, inner.subject);
    EXPECT_EQ(inner.bodyText, "inner body");
    ASSERT_EQ(inner.attachments.size(), 1u);
    EXPECT_EQ(inner.attachments[0].fileName, "inner.csv");
    EXPECT_EQ(inner.attachments[0].data, "a,b");
}

TEST(Rfc822Import, EverySenderAndRecipientWithTextGivesAnAddress)
{
    const auto m = importRfc822(crlf("From: jdoe at example.org (Jane =?UTF-8?Q?D=C3=B6e?=)\n"
                                     "Sender: list at example.org\n"
                                     "Reply-To: list@example.org, owner at example.org (The Owner)\n"
                                     "To: a@example.com, bob at example.net (Bob), \"Lee, Ann\" <ann@example.com>\n"
                                     "Cc: Friends: carl@example.net, dee at example.net (Dee);, <no domain>\n"
                                     "Bcc: Jane Doe\n"
                                     "Subject: archive\n\nx\n"));
    EXPECT_EQ(m.from.name,
              "Jane D\xC3\xB6"
              "e");
    EXPECT_EQ(m.from.address, "jdoe@example.org");
    EXPECT_EQ(m.sender.address, "list@example.org");
    EXPECT_EQ(m.sender.name, "");
    ASSERT_EQ(m.replyTo.size(), 2u);
    EXPECT_EQ(m.replyTo[0].address, "list@example.org");
    EXPECT_EQ(m.replyTo[1].address, "owner@example.org");
    EXPECT_EQ(m.replyTo[1].name, "The Owner");
    std::vector<std::string> seen;
    for (const auto& r : m.recipients)
        seen.push_back(std::to_string(static_cast<int>(r.kind)) + " " + r.who.name + " <" + r.who.address + ">");
    EXPECT_EQ(seen,
              (std::vector<std::string>{"1  <a@example.com>", "1 Bob <bob@example.net>", "1 Lee, Ann <ann@example.com>",
                                        "2  <carl@example.net>", "2 Dee <dee@example.net>", "2  <no domain>",
                                        "3  <Jane Doe>"}));

    // Fields GMime reads stay as GMime reads them; no field, or an empty group, gives no one.
    const auto plain = importRfc822("From: \"Ann\" <ann@example.com>\nTo: undisclosed-recipients:;\nSender: \n\nx\n");
    EXPECT_EQ(plain.from.name, "Ann");
    EXPECT_EQ(plain.sender.address, "ann@example.com");
    EXPECT_TRUE(plain.recipients.empty());
    const auto bare = importRfc822("From: Ann <>\nTo: , \"\" <>\n\nx\n");
    EXPECT_EQ(bare.from.name, "Ann");
    EXPECT_EQ(bare.from.address, "Ann <>");
    EXPECT_TRUE(bare.recipients.empty());
}

TEST(Rfc822Import, EachEncodedWordIsDecodedWhole)
{
    const std::string privet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBA\xD0\xB0\xD0\xBA "
                               "\xD0\xB4\xD0\xB5\xD0\xBB\xD0\xB0";
    const auto m = importRfc822(
        crlf("From: =?UTF-8?B?TcM=?=\n =?UTF-8?B?vGxsZXI=?= <m@example.de>\n"
             "To: =?UTF-8?B?SGVsbG8=?= =?UTF-8?B?IFdvcmxk?= <hw@example.com>\n"
             // Padding in the first word, and a character split between the two.
             "Subject: =?UTF-8?B?0J/RgNC40A==?=\n =?UTF-8?B?stC10YIsINC60LDQuiDQtNC10LvQsA==?=\n"
             "Content-Type: multipart/mixed; boundary=b\n\n"
             "--b\nContent-Type: text/plain\n\nbody\n"
             "--b\nContent-Type: application/pdf\nContent-Disposition: attachment;\n"
             " filename=\"=?UTF-8?B?0J7RgtGH0ZHRgiDQt9CwIA==?= =?UTF-8?B?0LTQtdC60LDQsdGA0YwucGRm?=\"\n\n%PDF\n"
             "--b\nContent-Type: text/plain; name=\"=?ISO-8859-1?Q?Gr=FC=DFe_aus_?= =?UTF-8?B?S8O2bG4=?=\"\n\nhi\n"
             "--b\nContent-Type: text/plain; name==?x-unheard-of?B?SGVsbG8=?= =?x-unheard-of?B?IFdvcmxk?=\n\nhi\n"
             "--b--\n"));
    EXPECT_EQ(m.subject, privet);
    EXPECT_EQ(m.from.name, "M\xC3\xBCller");
    ASSERT_EQ(m.recipients.size(), 1u);
    EXPECT_EQ(m.recipients[0].who.name, "Hello World");
    ASSERT_EQ(m.attachments.size(), 3u);
    EXPECT_EQ(m.attachments[0].fileName,
              "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xD0\xB7\xD0\xB0 "
              "\xD0\xB4\xD0\xB5\xD0\xBA\xD0\xB0\xD0\xB1\xD1\x80\xD1\x8C.pdf");
    EXPECT_EQ(m.attachments[1].fileName,
              "Gr\xC3\xBC\xC3\x9F"
              "e aus K\xC3\xB6ln");
    EXPECT_FALSE(m.attachments[2].fileName.empty());  // a charset nobody knows: GMime's guess

    // An embedded message and a message GMime reads only in part decode the same way.
    const auto outer = importRfc822(crlf("From: a@example.com\nContent-Type: message/rfc822\n\n"
                                         "Subject: =?UTF-8?B?SGVsbG8=?= =?UTF-8?B?IFdvcmxk?=\n\nx\n"));
    ASSERT_EQ(outer.attachments.size(), 1u);
    ASSERT_TRUE(outer.attachments[0].embedded);
    EXPECT_EQ(outer.attachments[0].embedded->subject, "Hello World");
    EXPECT_EQ(gmime::ParsedHeaders("Subject: =?UTF-8?B?SGVsbG8=?=\r\n =?UTF-8?B?IFdvcmxk?=\r\n").decoded("subject"),
              "Hello World");

    // Only runs of adjacent words within one field are rewritten.
    for (const char* same :
         {"plain text", "=?UTF-8?B?SGVsbG8=?= and =?UTF-8?B?IFdvcmxk?=",
          "Subject: =?UTF-8?B?SGVsbG8=?=\r\nX-Next: =?UTF-8?B?IFdvcmxk?=\r\n", "=?UTF-8?B?###?= =?UTF-8?B?SGk=?="})
        EXPECT_EQ(gmime::rejoinEncodedWords(same), same);
    EXPECT_EQ(gmime::decodeHeaderText(" =?UTF-8?Q?a?=\r\n\t=?UTF-8?Q?_b?=  c"), "a b  c");
}

TEST(Rfc822Import, SubjectPrefixAndCharsetRules)
{
    EXPECT_EQ(splitSubjectPrefix("FW: x").first, "FW: ");
    EXPECT_EQ(splitSubjectPrefix("AW: x").second, "x");
    EXPECT_EQ(splitSubjectPrefix("Fwd: x").first, "Fwd: ");
    EXPECT_EQ(splitSubjectPrefix("Four: x").first, "");
    EXPECT_EQ(splitSubjectPrefix("Re:x").first, "");
    EXPECT_EQ(splitSubjectPrefix("2: x").first, "");
}

TEST(Rfc822Import, HtmlReadsRightInAnyCharset)
{
    // Charsets by any of their names.
    const std::pair<const char*, std::uint32_t> names[] = {
        {"UTF-8", 65001},   {" ISO-8859-1 ", 28591}, {"iso8859-1", 28591},    {"latin1", 28591},
        {"Shift_JIS", 932}, {"x-sjis", 932},         {"ks_c_5601-1987", 949}, {"windows-1257", 1257},
        {"cp1251", 1251},   {"windows-874", 874},    {"gb18030", 54936},      {"\"euc-kr\"", 51949},
        {"x-cp1250", 1250}, {"ISO_8859-15", 28605},  {"koi8-u", 21866},       {"macintosh", 10000},
    };
    for (const auto& [name, codePage] : names) EXPECT_EQ(codePageOfCharset(name), codePage) << name;
    EXPECT_FALSE(codePageOfCharset("utf-16"));
    EXPECT_FALSE(codePageOfCharset("x-unheard-of"));

    const auto html = [](std::string_view charset, std::string_view bytes) {
        const std::string type = charset.empty() ? "" : "; charset=" + std::string(charset);
        const auto m
            = importRfc822("From: a@example.com\nContent-Type: text/html" + type + "\n\n" + std::string(bytes));
        return std::pair(m.bodyHtml.value_or("(none)"), m.htmlCodePage);
    };
    using Stored = std::pair<std::string, std::uint32_t>;
    // A charset with a code page keeps its bytes.
    EXPECT_EQ(html("ks_c_5601-1987", "<p>\xC7\xD1</p>"), Stored("<p>\xC7\xD1</p>", 949));
    EXPECT_EQ(html("windows-1257", "<p>\xE0</p>"), Stored("<p>\xE0</p>", 1257));
    EXPECT_EQ(html("iso8859-1", "<p>\xE9</p>"), Stored("<p>\xE9</p>", 28591));
    // Any other charset iconv knows is converted to UTF-8.
    EXPECT_EQ(html("utf-16le", std::string("<\0p\0>\0\xE9\0", 8)), Stored("<p>\xC3\xA9", 65001));
#ifndef _WIN32  // Windows has no code page for ISO-8859-10 (nor -14, -16): read as Windows-1252 there
    EXPECT_EQ(html("iso-8859-10", "<p>\xBD</p>"), Stored("<p>\xE2\x80\x95</p>", 65001));
#endif
    // Unlabelled, mislabelled or unknown: UTF-8 when it is, else Windows-1252; ASCII only when it is.
    EXPECT_EQ(html("", "<p>caf\xC3\xA9</p>"), Stored("<p>caf\xC3\xA9</p>", 65001));
    EXPECT_EQ(html("", "<p>caf\xE9</p>"), Stored("<p>caf\xE9</p>", 1252));
    EXPECT_EQ(html("us-ascii", "<p>caf\xE9</p>"), Stored("<p>caf\xE9</p>", 1252));
    EXPECT_EQ(html("us-ascii", "<p>cafe</p>"), Stored("<p>cafe</p>", 20127));
    EXPECT_EQ(html("utf-8", "<p>caf\xE9</p>"), Stored("<p>caf\xE9</p>", 1252));
    EXPECT_EQ(html("x-unheard-of", "<p>caf\xC3\xA9</p>"), Stored("<p>caf\xC3\xA9</p>", 65001));
}

// Worker threads read messages and end; what a thread kept for its next message must be let go
// of safely (with MinGW's thread-local storage it once was not: GLib warned of a freed object,
// the sign of a use after free).
TEST(Rfc822Import, ThreadsThatReadMessagesEndCleanly)
{
    static std::atomic<int> criticals{0};
    const auto count = [](const gchar*, GLogLevelFlags, const gchar*, gpointer) { ++criticals; };
    const guint handler = g_log_set_handler("GLib-GObject", G_LOG_LEVEL_CRITICAL, count, nullptr);
    for (int round = 0; round < 3; ++round) {
        std::vector<std::thread> workers;
        for (int t = 0; t < 4; ++t)
            workers.emplace_back([t] {
                const auto m = importRfc822("From: a@example.com\nSubject: s" + std::to_string(t) + "\n\nbody\n");
                EXPECT_EQ(m.subject, "s" + std::to_string(t));
            });
        for (auto& w : workers) w.join();
    }
    g_log_remove_handler("GLib-GObject", handler);
    EXPECT_EQ(criticals.load(), 0);
}

TEST(Rfc822Import, AttachedMessagesKeepTheNameTheirPartGives)
{
    const auto m = importRfc822(
        crlf("From: a@example.com\nContent-Type: multipart/mixed; boundary=b\n\n"
             "--b\nContent-Type: message/rfc822\nContent-Disposition: attachment; filename=\"fwd.eml\"\n\n"
             "Subject: by file name\n\nx\n"
             "--b\nContent-Type: message/rfc822; name=\"=?UTF-8?Q?R=C3=A9ponse?=.eml\"\n\nSubject: by type name\n\nx\n"
             "--b\nContent-Type: message/rfc822\n\nSubject: by subject\n\nx\n"
             "--b--\n"));
    std::vector<std::string> names;
    for (const auto& a : m.attachments) names.push_back(a.fileName);
    EXPECT_EQ(names, (std::vector<std::string>{"fwd.eml", "R\xC3\xA9ponse.eml", "by subject"}));
}

}  // namespace
}  // namespace quillmark

namespace quillmark {
namespace {

// Messages of one text part are read without GMime's parser: at and just past the edges of the
// forms read that way, the result must be GMime's, field for field.
TEST(Rfc822Import, QuickReadingIsGMimesAtTheEdgesOfThePlainForms)
{
    const std::string contentTypes[] = {
        "",
        "Content-Type: text/plain\n",
        "Content-Type: TEXT/Plain; charset=ISO-8859-1\n",
        "Content-Type: text/plain; charset=\"windows-1252\"; format=flowed\n",
        "Content-Type: text/plain;\n\tcharset=koi8-r\n",
        "Content-Type: text/plain; charset=utf-8;\n",
        "Content-Type: text/plain; charset=x-unknown-charset\n",
        "Content-Type: text/plain; charset=us-ascii (comment)\n",
        "Content-Type: text/plain; charset*=utf-8''x\n",
        "Content-Type: text/plain; charset=\"a\\\"b\"\n",
        "Content-Type: text/plain; charset=utf-8; charset=latin1\n",
        "Content-Type: text/plain; name=notes.txt\n",
        "Content-Type: text/plain charset=utf-8\n",
        "Content-Type: text\n",
        "Content-Type: text/html; charset=iso-8859-2\n",
        "Content-Type: text/html\n",
        "Content-Type: text/enriched\n",
        "Content-Type: text/plain\nContent-Type: text/html\n",
        "Content-Type: text/plain\nContent-Disposition: inline\n",
        "Content-Disposition: inline; filename=\"notes.txt\"\n",
        "Content-Type: text/html\nContent-Disposition: attachment\n",
        "Content-Disposition: inline\nContent-Disposition: attachment\n",
        "Content-Type: text/plain\nContent-Disposition: attachment; filename=a.txt\n",
    };
    const std::pair<std::string, std::string> encodings[] = {
        {"", "Gr\xFC\xDF dich, <b>Welt</b> &amp; Caf\xE9\n"},
        {"Content-Transfer-Encoding: 8bit\n", "caf\xC3\xA9 \xE9t\xE9\n"},
        {"Content-Transfer-Encoding:  Quoted-Printable \n", "Gr=FC=DF =\nzusammen=3D=C3=A9\n"},
        {"Content-Transfer-Encoding: base64\n", "R3L832RpY2ggPGk+V2VsdDwvaT4K\n"},
        {"Content-Transfer-Encoding: 7-bit\n", "plain\n"},
        {"Content-Transfer-Encoding: x-uuencode\n", "begin 644 a\n#86)C\n`\nend\n"},
        {"Content-Transfer-Encoding: base64 (really)\n", "YWJj\n"},
    };
    const std::string people[] = {
        "From: ann@example.com\nTo: Bob Lee <bob@example.com>, carl@example.net\n",
        "From: Ann B. Cole <a@example.com>\nTo: <b@example.com>\nCc: =?UTF-8?Q?C=C3=A9line?= <c@example.com>\n",
        "From: =?ISO-8859-1?Q?Andr=E9?= =?ISO-8859-1?Q?_Roux?= <a@example.com>\nTo: x@example.com\n",
        "From: \"Cole, Ann\" <a@example.com>\nTo: Friends: b@example.com, c@example.com;\n",
        "From: a@example.com (Ann)\nTo: Ann  <a@example.com>,\n\tBob\t<b@example.com>\n",
        "From: Ann <a@example.com>\nFrom: Other <o@example.com>\nBcc: jdoe at example.org (Jane Doe)\n",
        "From: .Ann <a@example.com>\nTo: a..b@example.com, <no-domain>, x@xn--bcher-kva.example\n",
        "From: J\xC3\xBCrgen <j@example.de>\nReply-To: r@example.com, Ann <a@example.com>\nSender: s@example.com\n",
        "From: Ann <a@example.com> (work)\nTo: Ann <a@ example.com>, B <b@example.com\n",
        "From: \"Jane  Doe \" <j@example.com>\nTo: \"\" <e@example.com>, \"a <b> c\" <x@example.com>\n"
        "Cc: \"Doe, J.\" <d@example.com>,\n \" padded\"<p@example.com>, \"tab\there\" <t@example.com>\n",
        "From: \"=?UTF-8?Q?C=C3=A9line?=\" <c@example.com>\nTo: \"back\\\\slash\" <b@example.com>\n"
        "Cc: \"half\" quoted <h@example.com>, \"x\"\"y\" <xy@example.com>\n",
    };
    const std::string subjects[] = {
        "",
        "Subject: =?UTF-8?B?R3LDvMOf?= =?UTF-8?B?ZQ==?=\n",
        "Subject: Re: plain\n\tfolded\n",
        "Subject: one\nSubject: two\n",
        "Subject: 8-bit \xE9t\xE9\n",
    };
    std::size_t compared = 0;
    for (const auto& type : contentTypes)
        for (const auto& [encoding, body] : encodings)
            for (std::size_t i = 0; i < std::size(people); ++i) {
                const std::string& subject = subjects[(compared + i) % std::size(subjects)];
                const std::string text = crlf("Date: Mon, 07 Dec 2026 08:05:09 +0100\nMessage-ID: <m@example.com>\n"
                                              + people[i] + subject + type + encoding + "\n" + body);
                ++compared;
                EXPECT_EQ(testing::describe(importRfc822(text)),
                          testing::describe(importRfc822(text, Reading::ThroughGMime)))
                    << text;
            }
    // Multiparts: boundaries in every place GMime allows or stumbles over.
    const std::string html
        = "Content-Type: text/html; charset=iso-8859-1\n\n<p>Gr\xFC\xDF <img src=\"cid:pic@x\"></p>\n";
    const std::string image = "Content-Type: image/png; name=\"p i.png\"\nContent-Transfer-Encoding: base64\n"
                              "Content-ID: <pic@x>\nContent-Disposition: inline\n\niVBORw0KGgo=\n";
    const std::string file = "Content-Type: application/pdf\nContent-Disposition: attachment; filename=a.pdf\n"
                             "Content-Location: http://example.com/a.pdf\n\n%PDF-1.4\n";
    const std::string multiparts[] = {
        "multipart/alternative; boundary=\"b1\"\n\npreamble\n--b1\nContent-Type: text/plain\n\nplain\n--b1\n" + html
            + "--b1--\nepilogue\n",
        "multipart/mixed; boundary=b1\n\n--b1 \t\n\nno headers\n\n--b1\n" + file + "--b1--  \n",
        "multipart/related; boundary=\"b1\"\n\n--b1\n" + html + "--b1\n" + image + "--b1--\n",
        "multipart/mixed; boundary=b1\n\n--b1\nContent-Type: multipart/alternative; boundary=b2\n\n--b2\n"
        "Content-Type: text/plain\n\ninner\n--b2\n"
            + html + "--b2--\n\n--b1\n" + file + "--b1--\n",
        "multipart/mixed; boundary=b1\n\n--b1\nContent-Type: multipart/alternative; boundary=b2\n\n--b2\n"
        "Content-Type: text/plain\n\nno end of b2\n--b1\n"
            + file + "--b1--\n",
        "multipart/mixed; boundary=b1\n\n--b1\nContent-Type: text/plain\n\nno end boundary\n",
        "multipart/mixed; boundary=b1\n\n--b1\nContent-Type: text/plain\n\nends at the end\n--b1--",
        "multipart/mixed; boundary=b1\n\n--b1\nContent-Type: text/plain\n\n--b1\nContent-Type: text/plain\n\n"
        "second text\n--b1\nContent-Type: text/plain; name=n.txt\n\nnamed\n--b1--\n",
        "multipart/mixed; boundary=b1\n\n--b1\nbroken header line\n\ntext\n--b1--\n",
        "multipart/mixed; boundary=b1\n\n--b1\nContent-Type: message/rfc822\n\nSubject: inner\n\nhi\n--b1--\n",
        "multipart/mixed; boundary=b1\n\n--b1--\n",
        "multipart/mixed\n\n--b1\nContent-Type: text/plain\n\nno boundary given\n--b1--\n",
        "multipart/signed; boundary=b1; protocol=\"application/pkcs7-signature\"\n\n--b1\n\nsigned\n--b1--\n",
        "multipart/mixed; boundary=b1\n\n--b1\nContent-Type: text/plain\nContent-Type: text/html\n\ntwice\n--b1--\n",
        "multipart/mixed; boundary=b1\n\n--b1\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: "
        "x-uuencode\n\nbegin 644 a\n#86)C\n`\nend\n--b1--\n",
        "multipart/mixed; boundary=\"b1\"\n\n--b1\nContent-Type: text/plain; name*=utf-8''%C3%A9.txt\n\nx\n--b1--\n",
        "multipart/mixed; boundary=b1\n\n--b1\nContent-Type: image/gif\nContent-ID: =?UTF-8?Q?x?=\n\nGIF\n--b1--\n",
        "multipart/signed; micalg=pgp-sha1; protocol=\"application/pgp-signature\"; boundary=b1\n\n--b1\n"
        "Content-Type: text/plain\n\nsigned text\n--b1\nContent-Type: application/pgp-signature\n\n"
        "-----BEGIN PGP SIGNATURE-----\nabc\n-----END PGP SIGNATURE-----\n--b1--\n",
        "multipart/report; report-type=delivery-status; boundary=b1\n\n--b1\n\nnot delivered\n--b1\n"
        "Content-Type: message/delivery-status\n\nReporting-MTA: dns; mx.example.com\n--b1\n"
        "Content-Type: message/rfc822\n\nSubject: returned\n\nhi\n--b1--\n",
        "multipart/mixed; boundary=b1\n\n--b1\nContent-Type: multipart/signed; boundary=b2; "
        "protocol=\"application/pkcs7-signature\"\n\n--b2\nContent-Type: text/plain\n\ninner signed\n--b2\n"
        "Content-Type: application/pkcs7-signature; name=smime.p7s\nContent-Transfer-Encoding: base64\n\nAAEC\n"
        "--b2--\n--b1--\n",
        "multipart/digest; boundary=b1\n\n--b1\n\nSubject: in a digest\n\nhi\n--b1--\n",
        "multipart/encrypted; protocol=\"application/pgp-encrypted\"; boundary=b1\n\n--b1\n"
        "Content-Type: application/pgp-encrypted\n\nVersion: 1\n--b1\nContent-Type: application/octet-stream\n\n"
        "-----BEGIN PGP MESSAGE-----\n--b1--\n",
    };
    for (const auto& body : multiparts)
        for (const bool crlfLineEnds : {true, false}) {
            const std::string raw = "From: a@example.com\nSubject: parts\nContent-Type: " + body;
            const std::string text = crlfLineEnds ? crlf(raw) : raw;
            EXPECT_EQ(testing::describe(importRfc822(text)),
                      testing::describe(importRfc822(text, Reading::ThroughGMime)))
                << text;
        }
    // Header blocks the quick reading must leave to GMime.
    using namespace std::string_literals;
    for (const std::string& text : {"From: a@example.com\r\nSubject: no body"s, "\r\nbody only"s,
                                    "From a@example.com Mon Dec  7\r\nSubject: x\r\n\r\nb"s,
                                    "Subject : spaced\r\n\r\nb"s, "Subject: nul\0x\r\n\r\nb"s})
        EXPECT_EQ(testing::describe(importRfc822(text)), testing::describe(importRfc822(text, Reading::ThroughGMime)))
            << text;
}

}  // namespace
}  // namespace quillmark

namespace quillmark {
namespace {

// Text in a charset of one byte per character is converted by table: to what iconv gives for
// every byte, alone and amid text, and not at all where iconv finds no character.
TEST(Rfc822Import, SingleByteCharsetsConvertAsIconvDoes)
{
    gmime::ensureInitialised();
    std::string everyByte;
    for (int b = 1; b < 256; ++b) everyByte += static_cast<char>(b);
    for (const char* charset : {"iso-8859-1", "ISO-8859-2", "iso-8859-7", "iso-8859-15", "CP1252", "windows-1251",
                                "cp1255", "koi8-r", "KOI8-U"}) {
        std::vector<std::string> texts{"plain ASCII, nothing to do", "Gr\xFC\xDF Gott, caf\xE9 \x80 \xA4 \xFF"};
        for (int b = 0x80; b < 256; ++b) texts.push_back(std::string("x") + static_cast<char>(b) + "y");
        texts.push_back(everyByte);
        for (const auto& text : texts) {
            gsize written = 0;
            char* reference = g_convert(text.data(), static_cast<gssize>(text.size()), "UTF-8", charset, nullptr,
                                        &written, nullptr);
            const auto converted = gmime::convertSingleByte(text, charset);
            if (reference)
                EXPECT_EQ(converted, std::string(reference, written)) << charset << " " << text;
            else
                EXPECT_FALSE(converted) << charset << " " << text;
            g_free(reference);
        }
    }
    // Charsets of more bytes per character, or that combine, are left to iconv.
    for (const char* charset : {"utf-8", "big5", "gb2312", "cp1258", "iso-2022-jp", "shift_jis"})
        EXPECT_FALSE(gmime::convertSingleByte("a\xE9", charset)) << charset;
}

}  // namespace
}  // namespace quillmark
