#!/usr/bin/env python3
"""Writes the sample Thunderbird profile under samples/thunderbird-profile/ and checks it.

Every run gives the same bytes: dates, boundaries and attachments are fixed or derived from the
message text, never from the clock or a random source. The people, companies and addresses are
invented (example.com/.org/.net only).

Usage: scripts/make-samples.py [--check]   (--check only validates what is on disk)
"""

import base64
import datetime as dt
import email
import email.policy
import hashlib
import mailbox
import os
import pathlib
import struct
import sys
import urllib.parse
import zlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROFILE = ROOT / "samples" / "thunderbird-profile"
LOCAL = PROFILE / "Mail" / "Local Folders"
SIZE_LIMIT = 200 * 1024

TZ = dt.timezone(dt.timedelta(hours=1))  # the profile owner lives at UTC+1

DANA = ("Dana Whitfield", "dana.whitfield@example.com")
MARCUS = ("Marcus Ortega", "marcus.ortega@example.com")
PRIYA = ("Priya Raman", "priya.raman@example.org")
RUTH = ("Ruth Abernathy", "ruth.abernathy@example.com")
JUERGEN = ("Jürgen Müller", "j.mueller@example.net")
HELENE = ("Hélène Dubois", "helene.dubois@example.org")
MISAKI = ("佐藤 美咲", "m.sato@example.net")
ANNA = ("Анна Соколова", "a.sokolova@example.org")
NEWS = ("Harbor Lane Books", "news@example.org")
FACILITIES = ("Ashgrove Facilities", "facilities@example.com")


# ---- Header encoding ---------------------------------------------------------------------------

def _q_encode(data: bytes) -> str:
    out = []
    for b in data:
        c = chr(b)
        if c == " ":
            out.append("_")
        elif c.isascii() and (c.isalnum() or c in "!*+-/"):
            out.append(c)
        else:
            out.append("=%02X" % b)
    return "".join(out)


def encoded_words(text: str, charset: str = "UTF-8", kind: str = "Q") -> str:
    """RFC 2047 encoded words, split on character boundaries so each stays under 76 columns."""
    words, chunk = [], ""
    for ch in text:
        trial = chunk + ch
        raw = trial.encode(charset)
        body = _q_encode(raw) if kind == "Q" else base64.b64encode(raw).decode()
        if len(body) + len(charset) + 7 > 66 and chunk:
            words.append(chunk)
            chunk = ch
        else:
            chunk = trial
    if chunk:
        words.append(chunk)
    out = []
    for w in words:
        raw = w.encode(charset)
        body = _q_encode(raw) if kind == "Q" else base64.b64encode(raw).decode()
        out.append("=?%s?%s?%s?=" % (charset, kind, body))
    return "\n ".join(out)


def addr(person, charset="UTF-8", kind="Q") -> str:
    name, address = person
    if name.isascii():
        return "%s <%s>" % (name, address)
    return "%s <%s>" % (encoded_words(name, charset, kind), address)


def subject(text, charset="UTF-8", kind="Q") -> str:
    return text if text.isascii() else encoded_words(text, charset, kind)


# ---- Bodies and parts --------------------------------------------------------------------------

def qp_body(text: str, charset: str = "utf-8") -> str:
    """Quoted-printable, with soft line breaks so no line is longer than 76 columns."""
    lines = []
    for line in text.split("\n"):
        tokens = [chr(b) if (32 < b < 127 and b != 61) or b == 32 else "=%02X" % b
                  for b in line.encode(charset)]
        if tokens and tokens[-1] == " ":
            tokens[-1] = "=20"
        cur = ""
        for tok in tokens:
            if len(cur) + len(tok) > 75:
                lines.append(cur + "=")
                cur = ""
            cur += tok
        lines.append(cur)
    return "\n".join(lines)


def rfc2231_param(param: str, value: str, width: int = 45) -> str:
    """param*0*=UTF-8''..., param*1*=... continuations, never splitting a %XX escape."""
    quoted = urllib.parse.quote(value, safe="")
    pieces, cur = [], ""
    i = 0
    while i < len(quoted):
        tok = quoted[i:i + 3] if quoted[i] == "%" else quoted[i]
        if len(cur) + len(tok) > width:
            pieces.append(cur)
            cur = ""
        cur += tok
        i += len(tok)
    pieces.append(cur)
    return ";\n ".join("%s*%d*=%s%s" % (param, n, "UTF-8''" if n == 0 else "", piece)
                        for n, piece in enumerate(pieces))


def b64_lines(data: bytes, width: int = 72) -> str:
    enc = base64.b64encode(data).decode()
    return "\n".join(enc[i:i + width] for i in range(0, len(enc), width))


def boundary(seed: str) -> str:
    alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
    digest = hashlib.sha256(seed.encode()).digest()
    return "-" * 12 + "".join(alphabet[b % len(alphabet)] for b in digest[:24])


def tiny_png(width: int, height: int, seed: int) -> bytes:
    """A small RGB PNG: a diagonal gradient whose hue depends on seed."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)  # filter: none
        for x in range(width):
            rows += bytes(((x * 255 // (width - 1) + seed * 40) % 256,
                           (y * 255 // (height - 1)) % 256,
                           ((x + y) * 8 + seed * 90) % 256))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9))
            + chunk(b"IEND", b""))


def tiny_pdf(lines) -> bytes:
    """A one-page PDF 1.4 with a few lines of Helvetica, cross-reference offsets computed."""
    text = "BT /F1 12 Tf 72 720 Td 16 TL " + " ".join(
        "(%s) '" % s.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)") for s in lines) + " ET"
    objs = [
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] "
        "/Resources << /Font << /F1 4 0 R >> >> /Contents 5 0 R >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Length %d >>\nstream\n%s\nendstream" % (len(text), text),
    ]
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for i, body in enumerate(objs, 1):
        offsets.append(len(out))
        out += ("%d 0 obj\n%s\nendobj\n" % (i, body)).encode("latin-1")
    xref = len(out)
    out += ("xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)).encode()
    for off in offsets:
        out += ("%010d 00000 n \n" % off).encode()
    out += ("trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)).encode()
    return bytes(out)


# ---- Messages ----------------------------------------------------------------------------------

def when(month, day, hh, mm, ss):
    return dt.datetime(2026, month, day, hh, mm, ss, tzinfo=TZ)


def separator(t: dt.datetime) -> str:
    # Thunderbird writes "From - " and the local time in asctime form, day padded with a zero.
    return "From - " + t.strftime("%a %b %d %H:%M:%S %Y")


def msgid(seed: str, domain: str) -> str:
    h = hashlib.sha256(seed.encode()).hexdigest()
    return "<%s-%s-%s@%s>" % (h[:8], h[8:12], h[12:16], domain)


class Msg:
    """One stored message: the text of its headers and body, with Thunderbird's own headers."""

    def __init__(self, t, headers, body, status="0001", status2="00000000", keys=""):
        self.t = t
        self.headers = headers
        self.body = body
        self.status = status
        self.status2 = status2
        self.keys = keys

    def text(self) -> str:
        lines = [separator(self.t),
                 "X-Mozilla-Status: " + self.status,
                 "X-Mozilla-Status2: " + self.status2,
                 # Thunderbird pads this header so tags can be added later without moving bytes.
                 "X-Mozilla-Keys: " + self.keys.ljust(80)]
        lines += self.headers
        body = self.body if self.body.endswith("\n") else self.body + "\n"
        # A line starting "From " in a body would read as a new message: escape it as Thunderbird does.
        body = "\n".join(">" + l if l.startswith("From ") else l for l in body.split("\n"))
        return "\n".join(lines) + "\n\n" + body + "\n"


def received(t, sender, frm, by="mx1.example.com"):
    stamp = t.strftime("%a, %d %b %Y %H:%M:%S %z")
    return ["Return-Path: <%s>" % sender, "Delivered-To: " + DANA[1],
            "Received: from %s (%s [192.0.2.%d])\n\tby %s with ESMTPS id 4Q%s\n\tfor <%s>; %s"
            % (frm, frm, 10 + t.day, by, hashlib.md5(stamp.encode()).hexdigest()[:10].upper(),
               DANA[1], stamp)]


def common(t, frm, to, subj, mid, cc=None, reply_to=None, extra=()):
    h = ["Date: " + t.strftime("%a, %d %b %Y %H:%M:%S %z"), "From: " + frm, "To: " + to]
    if cc:
        h.append("Cc: " + cc)
    h += ["Subject: " + subj, "Message-ID: " + mid]
    if reply_to:
        h += ["In-Reply-To: " + reply_to, "References: " + reply_to]
    h += list(extra)
    h.append("MIME-Version: 1.0")
    return h


def plain_part(text, charset="UTF-8", cte="7bit", flowed=True):
    ct = "text/plain; charset=%s" % charset + ("; format=flowed" if flowed else "")
    if cte == "quoted-printable":
        body = qp_body(text, charset)
    elif cte == "base64":
        body = b64_lines(text.encode(charset))
    else:
        body = text
    return ["Content-Type: " + ct, "Content-Transfer-Encoding: " + cte], body


def multipart(kind, seed, parts, preamble="This is a multi-part message in MIME format."):
    b = boundary(seed)
    out = [preamble, ""]
    for headers, body in parts:
        out.append("--" + b)
        out += headers
        out.append("")
        out.append(body.rstrip("\n"))
        out.append("")
    out.append("--" + b + "--")
    return ["Content-Type: multipart/%s;\n boundary=\"%s\"" % (kind, b)], "\n".join(out)


def attachment(ctype, name, data, rfc2231=False):
    if rfc2231:
        disp = "attachment;\n " + rfc2231_param("filename", name)
        ct = ctype + ";\n " + rfc2231_param("name", name)
    else:
        disp = 'attachment; filename="%s"' % name
        ct = '%s; name="%s"' % (ctype, name)
    return ["Content-Type: " + ct, "Content-Disposition: " + disp,
            "Content-Transfer-Encoding: base64"], b64_lines(data)


def message(t, frm, to, subj, body_parts, seed, domain, cc=None, reply_to=None, extra=(),
            received_from=None, **flags):
    mid = msgid(seed, domain)
    h = []
    if received_from:
        h += received(t, frm[frm.rindex("<") + 1:-1], received_from)
    h += common(t, frm, to, subj, mid, cc, reply_to, extra)
    ph, body = body_parts
    return Msg(t, h + ph, body, **flags), mid


def inbox():
    msgs = []
    t = when(11, 27, 16, 42, 10)
    cal_mid = msgid("calibration-run", "example.com")
    m, _ = message(t, addr(MARCUS), addr(DANA), "Re: Friday's calibration run",
                   plain_part(
                       "Hi Dana,\n\n"
                       "the run finished at 15:20. All twelve loggers stayed within 0.2 K of the\n"
                       "reference probe, except unit 7, which drifted by 0.6 K after the second hour.\n"
                       "I left it on the bench with a note so nobody ships it by accident.\n\n"
                       "Can we look at it together on Monday morning?\n\n"
                       "Marcus\n"),
                   "calibration-reply", "example.com", cc=addr(PRIYA), reply_to=cal_mid,
                   extra=["User-Agent: Mozilla Thunderbird", "Content-Language: en-US"],
                   received_from="mail.example.com")
    msgs.append(m)

    t = when(11, 30, 9, 15, 2)
    body = multipart("mixed", "bench-photo", [
        plain_part("Morning Dana,\n\nhere is the thumbnail from the bench camera: the status LED is\n"
                   "green on all boards now. Full-size pictures are on the share.\n\nPriya\n"),
        attachment("image/png", "bench-led.png", tiny_png(16, 16, 1)),
    ])
    m, _ = message(t, addr(PRIYA), addr(DANA), "Photos from the bench test", body, "bench-photo",
                   "example.org", extra=["User-Agent: Mozilla Thunderbird", "Content-Language: en-GB"],
                   received_from="mail.example.org", status2="10000000")
    msgs.append(m)

    t = when(12, 1, 7, 0, 31)
    text = ("Harbor Lane Books - December letter\n\n"
            "New this month: a second printing of \"Tides and Tables\", and a reading\n"
            "evening on 18 December at 19:00.\n\n"
            "Unsubscribe: https://example.org/letters/unsubscribe\n")
    html = ("<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>December letter</title></head>\n"
            "<body style=\"font-family: Georgia, serif\">\n"
            "<h1>Harbor Lane Books &ndash; December letter</h1>\n"
            "<p>New this month: a second printing of <em>Tides and Tables</em>, and a reading\n"
            "evening on <strong>18&nbsp;December at 19:00</strong>.</p>\n"
            "<p><a href=\"https://example.org/letters/unsubscribe\">Unsubscribe</a></p>\n"
            "</body>\n</html>\n")
    body = multipart("alternative", "newsletter-dec", [
        plain_part(text, flowed=False),
        (["Content-Type: text/html; charset=UTF-8", "Content-Transfer-Encoding: quoted-printable"],
         qp_body(html)),
    ], preamble="")
    m, _ = message(t, addr(NEWS), addr(DANA), "December at Harbor Lane Books", body, "newsletter-dec",
                   "example.org", extra=["List-Unsubscribe: <https://example.org/letters/unsubscribe>"],
                   received_from="lists.example.org", status="0000", status2="00010000")
    msgs.append(m)

    t = when(12, 2, 11, 3, 45)
    de = ("Hallo Frau Whitfield,\n\n"
          "vielen Dank für die Unterlagen. Die Abnahme der zwölf Messgeräte können wir\n"
          "am Donnerstag, 10. Dezember, um 14:00 Uhr in unserem Prüflabor durchführen.\n"
          "Bitte bringen Sie die Kalibrierscheine und das Übergabeprotokoll mit.\n\n"
          "Mit freundlichen Grüßen\nJürgen Müller\nQualitätssicherung\n")
    m, _ = message(t, addr(JUERGEN), addr(DANA), subject("Termin für die Abnahme – Lieferung nächste Woche"),
                   plain_part(de, cte="quoted-printable", flowed=False), "abnahme", "example.net",
                   extra=["Content-Language: de-DE"], received_from="smtp.example.net", keys="$label1")
    msgs.append(m)

    t = when(12, 3, 15, 27, 8)
    fr = ("Bonjour Dana,\n\n"
          "voici l'ordre du jour de la réunion de suivi de jeudi :\n\n"
          "  1. Résultats de l'étalonnage (unité 7 comprise)\n"
          "  2. Délais de livraison pour février\n"
          "  3. Questions diverses\n\n"
          "N'hésitez pas à me dire si vous souhaitez ajouter un point.\n\n"
          "Bien à vous,\nHélène\n")
    m, _ = message(t, addr(HELENE, "ISO-8859-1"), addr(DANA),
                   subject("Réunion de suivi : ordre du jour", "ISO-8859-1"),
                   plain_part(fr, charset="ISO-8859-1", cte="8bit", flowed=False), "reunion",
                   "example.org", extra=["Content-Language: fr"], received_from="mail.example.org",
                   status="0003")
    msgs.append(m)

    t = when(12, 4, 2, 18, 56)
    ja = ("ウィットフィールド様\n\n"
          "いつもお世話になっております。佐藤です。\n"
          "ご注文いただいたデータロガー二十台の出荷予定をお知らせします。\n\n"
          "・十台：十二月十一日（金）出荷\n"
          "・残り十台：十二月十八日（金）出荷\n\n"
          "ご確認のほど、よろしくお願いいたします。\n\n"
          "佐藤 美咲\n")
    m, _ = message(t, addr(MISAKI, kind="B"), addr(DANA), subject("出荷スケジュールの確認", kind="B"),
                   plain_part(ja, cte="base64", flowed=False), "shukka", "example.net",
                   extra=["Content-Language: ja"], received_from="smtp.example.net")
    msgs.append(m)

    t = when(12, 4, 10, 51, 13)
    csv = ("регион;месяц;заказов;сумма_eur\n"
           "Москва;2026-11;14;18250.00\n"
           "Санкт-Петербург;2026-11;9;11730.50\n"
           "Новосибирск;2026-11;3;3980.00\n").encode("utf-8")
    body = multipart("mixed", "otchet", [
        plain_part("Здравствуйте, Дана!\n\nВысылаю отчёт о продажах за ноябрь. Итог по трём регионам —\n"
                   "26 заказов на 33 960,50 евро.\n\nС уважением,\nАнна Соколова\n", cte="8bit"),
        attachment("text/csv; charset=UTF-8", "Отчёт-ноябрь.csv", csv, rfc2231=True),
    ])
    m, anna_mid = message(t, addr(ANNA, kind="B"), addr(DANA), subject("Отчёт о продажах за ноябрь", kind="B"),
                          body, "otchet", "example.org", extra=["Content-Language: ru"],
                          received_from="mail.example.org", status2="10000000")
    msgs.append(m)

    t = when(12, 5, 18, 2, 40)
    m, _ = message(t, addr(MARCUS), addr(DANA), "Fwd: what I wrote about unit 7 in 2024",
                   plain_part(
                       "Found my old note about the same drift:\n\n"
                       "---- note, 14 March 2024 ----\n"
                       "From the logs it looks like the sensor drifts only once the case is\n"
                       "warmer than 35 C. Re-seating the probe fixed it on two units.\n"
                       "---- end ----\n\n"
                       "Worth trying before we send it back.\n\nMarcus\n", flowed=False),
                   "unit7-note", "example.com", received_from="mail.example.com")
    msgs.append(m)

    t = when(12, 6, 8, 30, 0)
    m, _ = message(t, addr(FACILITIES), "all-staff@example.com", "Parking garage closed on Saturday",
                   plain_part("The parking garage is closed on Saturday, 12 December, for line\n"
                              "painting. Please use the visitor spaces on Mill Road.\n", flowed=False),
                   "garage", "example.com", received_from="mail.example.com", status="0009")
    msgs.append(m)
    return msgs, anna_mid


def sent(anna_mid):
    ua = ["User-Agent: Mozilla Thunderbird", "Content-Language: en-US"]
    msgs = []
    t = when(11, 27, 17, 5, 19)
    m, _ = message(t, addr(DANA), addr(MARCUS), "Re: Friday's calibration run",
                   plain_part("Monday 9:00 works. Please keep unit 7 powered so we can see whether\n"
                              "the drift comes back after a cold start.\n\nDana\n"),
                   "calibration-sent", "example.com", cc=addr(PRIYA),
                   reply_to=msgid("calibration-reply", "example.com"), extra=ua)
    msgs.append(m)

    t = when(12, 2, 13, 12, 4)
    m, _ = message(t, addr(DANA), addr(JUERGEN), subject("Re: Termin für die Abnahme – Lieferung nächste Woche"),
                   plain_part("Hallo Herr Müller,\n\nDonnerstag, 14:00 Uhr passt. Wir bringen die "
                              "Kalibrierscheine und das Übergabeprotokoll mit.\n\nViele Grüße\nDana Whitfield\n",
                              cte="8bit"),
                   "abnahme-re", "example.com", reply_to=msgid("abnahme", "example.net"), extra=ua)
    msgs.append(m)

    t = when(12, 3, 9, 44, 51)
    csv = ("unit,reference_c,measured_c,deviation_k\n"
           + "".join("%d,20.00,%.2f,%.2f\n" % (u, 20 + d, d)
                     for u, d in [(1, 0.05), (2, -0.08), (3, 0.11), (4, 0.02), (5, -0.13), (6, 0.07),
                                  (7, 0.61), (8, -0.04), (9, 0.15), (10, 0.09), (11, -0.10), (12, 0.01)])
           ).encode()
    body = multipart("mixed", "csv-sent", [
        plain_part("Priya,\n\nthe calibration figures from Friday, one row per unit. Unit 7 is the\n"
                   "only one outside the limit.\n\nDana\n"),
        attachment("text/csv; charset=UTF-8", "calibration-2026-11.csv", csv),
    ])
    m, _ = message(t, addr(DANA), addr(PRIYA), "Calibration figures, November", body, "csv-sent",
                   "example.com", extra=ua, status2="10000000")
    msgs.append(m)

    t = when(12, 3, 16, 1, 37)
    pdf = tiny_pdf(["Follow-up meeting, Thursday 10 December", "1. Calibration results",
                    "2. Delivery dates for February", "3. Any other business"])
    body = multipart("mixed", "pdf-sent", [
        plain_part("Bonjour Hélène,\n\nmerci ! I have put the agenda into the attached PDF for the\n"
                   "others. See you on Thursday.\n\nDana\n", cte="8bit"),
        attachment("application/pdf", "agenda-2026-12-10.pdf", pdf),
    ])
    m, _ = message(t, addr(DANA), addr(HELENE, "ISO-8859-1"),
                   subject("Re: Réunion de suivi : ordre du jour", "ISO-8859-1"), body, "pdf-sent",
                   "example.com", reply_to=msgid("reunion", "example.org"), extra=ua, status2="10000000")
    msgs.append(m)
    return msgs


def drafts(anna_mid):
    t = when(12, 7, 8, 55, 20)
    m, _ = message(t, addr(DANA), addr(ANNA, kind="B"), subject("Re: Отчёт о продажах за ноябрь", kind="B"),
                   plain_part("Anna,\n\nthank you for the report. Could you add the December forecast\n"
                              "for Novosibirsk as well?\n\nDana\n"),
                   "draft-anna", "example.com", reply_to=anna_mid,
                   extra=["X-Mozilla-Draft-Info: internal/draft; vcard=0; receipt=0; DSN=0; uuencode=0;\n"
                          " attachmentreminder=0; deliveryformat=1",
                          "X-Identity-Key: id1", "X-Account-Key: account1",
                          "User-Agent: Mozilla Thunderbird", "Content-Language: en-US"],
                   status="0000")
    return [m]


def projects():
    msgs = []
    t = when(11, 16, 14, 20, 7)
    m, _ = message(t, addr(PRIYA), addr(DANA) + ", " + addr(MARCUS), "Tern logger: firmware 0.9 notes",
                   plain_part("Hi both,\n\nfirmware 0.9 for the Tern logger is on the build server.\n\n"
                              "- sampling interval down to 1 s\n- battery estimate in the status page\n"
                              "- fixes the clock jump after a brown-out\n\nPriya\n"),
                   "tern-fw09", "example.org", received_from="mail.example.org")
    msgs.append(m)

    t = when(11, 19, 10, 2, 58)
    quote = ("Quote 2026-1187 - Tern enclosure, IP65\n\n"
             "Item                      Qty   Unit EUR\n"
             "Enclosure, grey PC         200      7.40\n"
             "Gasket set                 200      0.85\n"
             "Cable gland M12            400      0.62\n\n"
             "Valid until 31 December 2026.\n").encode()
    body = multipart("mixed", "tern-quote", [
        plain_part("Dana,\n\nthe supplier's quote for the enclosures is attached. Price is fine;\n"
                   "lead time is six weeks.\n\nMarcus\n"),
        attachment("text/plain; charset=UTF-8", "quote-2026-1187.txt", quote),
    ])
    m, _ = message(t, addr(MARCUS), addr(DANA), "Tern enclosure quote", body, "tern-quote",
                   "example.com", received_from="mail.example.com", status2="10000000")
    msgs.append(m)

    t = when(11, 24, 12, 40, 33)
    m, _ = message(t, addr(JUERGEN), addr(DANA), "Tern field test sites",
                   plain_part("Dana,\n\nwe can host two Tern loggers at our cold store in Bremen from\n"
                              "January. Power and network are available at both spots.\n\nJürgen\n",
                              cte="8bit"),
                   "tern-sites", "example.net", received_from="smtp.example.net", status="0005")
    msgs.append(m)
    return msgs


def year_2026():
    msgs = []
    t = when(10, 28, 9, 5, 0)
    m, _ = message(t, addr(RUTH), addr(DANA), "2026 roadmap draft",
                   plain_part("Dana,\n\nfirst cut of the 2026 roadmap:\n\n"
                              "  Q1  Tern field tests, enclosure order\n"
                              "  Q2  Tern 1.0 release, first 200 units\n"
                              "  Q3  Cloud dashboard beta\n"
                              "  Q4  Second production batch\n\n"
                              "Comments by Friday, please.\n\nRuth\n"),
                   "roadmap-2026", "example.com", received_from="mail.example.com")
    msgs.append(m)

    t = when(11, 12, 16, 48, 22)
    body = multipart("mixed", "budget-chart", [
        plain_part("Hi Dana,\n\na small chart of the 2026 budget split; the numbers are in the\n"
                   "shared sheet.\n\nPriya\n"),
        attachment("image/png", "budget-2026.png", tiny_png(12, 8, 3)),
    ])
    m, _ = message(t, addr(PRIYA), addr(DANA), "Budget chart for 2026", body, "budget-chart",
                   "example.org", received_from="mail.example.org", status2="10000000")
    msgs.append(m)

    t = when(12, 1, 11, 30, 45)
    m, _ = message(t, addr(RUTH), addr(DANA) + ", " + addr(MARCUS), "Kickoff on 12 January",
                   plain_part("All,\n\nthe 2026 kickoff is on Tuesday, 12 January, 10:00-12:00, in the\n"
                              "large meeting room. Lunch afterwards.\n\nRuth\n"),
                   "kickoff-2026", "example.com", cc=addr(PRIYA), received_from="mail.example.com",
                   status="0000", status2="00010000")
    msgs.append(m)
    return msgs


def release():
    """A folder whose name holds a dot: found by its .msf, not by the no-dot rule."""
    msgs = []
    t = when(11, 30, 9, 12, 40)
    m, _ = message(t, addr(PRIYA), addr(DANA), "Tern 1.2 release checklist",
                   plain_part("Dana,\n\nthe checklist for Tern 1.2: firmware signed, release notes\n"
                              "reviewed, two field units updated. Only the notes are left.\n\nPriya\n"),
                   "tern-12-checklist", "example.org", received_from="mail.example.org",
                   status="1001", keys="projectx")
    msgs.append(m)
    t = when(12, 2, 17, 3, 9)
    m, _ = message(t, addr(MARCUS), addr(DANA), "Tern 1.2 shipped to the Bremen site",
                   plain_part("Dana,\n\nboth Bremen loggers run 1.2 since this afternoon.\n\nMarcus\n"),
                   "tern-12-bremen", "example.com", received_from="mail.example.com",
                   status="0005", keys="$label2 $label4")
    msgs.append(m)
    return msgs


def imap_inbox():
    """The IMAP account's INBOX: same name as Local Folders' Inbox but for case, kept apart."""
    msgs = []
    t = when(12, 3, 8, 1, 15)
    m, _ = message(t, addr(FACILITIES), addr(DANA), "Heating maintenance on Saturday",
                   plain_part("Hello,\n\nthe heating in building B is serviced on Saturday, 5 December,\n"
                              "from 8:00 to 12:00.\n\nAshgrove Facilities\n"),
                   "heating-maint", "example.com", received_from="mail.example.com")
    msgs.append(m)
    t = when(12, 4, 13, 45, 0)
    m, _ = message(t, addr(RUTH), addr(DANA), "Board meeting moved to Thursday",
                   plain_part("Dana,\n\nthe board meeting moves to Thursday, same time.\n\nRuth\n"),
                   "board-moved", "example.com", received_from="mail.example.com",
                   status="0000", keys="$label1")
    msgs.append(m)
    # Only the headers are kept offline (Thunderbird's "download headers only"): Status2 0x400.
    t = when(12, 6, 19, 20, 31)
    m, _ = message(t, addr(NEWS), addr(DANA), "Your December reading list",
                   (["Content-Type: text/plain; charset=UTF-8"], ""),
                   "reading-list", "example.org", received_from="mail.example.org",
                   status2="00000400")
    msgs.append(m)
    return msgs


PREFS = """// Mozilla User Preferences (made up for the samples)
user_pref("mail.accountmanager.accounts", "account1,account2");
user_pref("mail.accountmanager.defaultaccount", "account1");
user_pref("mail.account.account1.identities", "id1");
user_pref("mail.account.account1.server", "server1");
user_pref("mail.account.account2.server", "server2");
user_pref("mail.identity.id1.useremail", "dana.whitfield@example.com");
user_pref("mail.server.server1.directory-rel", "[ProfD]ImapMail/imap.example.com");
user_pref("mail.server.server1.hostname", "imap.example.com");
user_pref("mail.server.server1.name", "dana.whitfield@example.com");
user_pref("mail.server.server1.type", "imap");
user_pref("mail.server.server1.userName", "dana.whitfield");
user_pref("mail.server.server2.directory-rel", "[ProfD]Mail/Local Folders");
user_pref("mail.server.server2.hostname", "Local Folders");
user_pref("mail.server.server2.name", "Local Folders");
user_pref("mail.server.server2.type", "none");
user_pref("mailnews.tags.$label1.tag", "Important");
user_pref("mailnews.tags.$label2.tag", "Work");
user_pref("mailnews.tags.$label3.tag", "Personal");
user_pref("mailnews.tags.$label4.tag", "To Do");
user_pref("mailnews.tags.$label5.tag", "Later");
user_pref("mailnews.tags.projectx.color", "#3A8DDE");
user_pref("mailnews.tags.projectx.tag", "Project Tern");
"""


def mork_stub(folder: str) -> bytes:
    # Thunderbird's summary files are Mork databases; the converter never reads them, so a
    # short made-up stand-in is enough to show that they are skipped.
    return ('// <!-- <mdb:mork:z v="1.4"/> -->\n'
            '< <(a=c)> // (f=iso-8859-1)\n'
            '  (8A=folderName)(8B=totalMsgs)>\n'
            '<(80=%s)(81=0)>\n' % folder).encode()


# ---- Writing and checking ----------------------------------------------------------------------

def layout():
    """Mailbox path (relative to the profile) -> (messages, line ending)."""
    inbox_msgs, anna_mid = inbox()
    local = "Mail/Local Folders/"
    return {
        local + "Inbox": (inbox_msgs, "\n"),
        # As written by Thunderbird on Windows.
        local + "Sent": (sent(anna_mid), "\r\n"),
        local + "Drafts": (drafts(anna_mid), "\n"),
        local + "Trash": ([], "\n"),
        local + "Inbox.sbd/Projects": (projects(), "\n"),
        local + "Inbox.sbd/Projects.sbd/2026": (year_2026(), "\n"),
        local + "Release v1.2": (release(), "\n"),
        "ImapMail/imap.example.com/INBOX": (imap_inbox(), "\n"),
    }


def write():
    boxes = layout()
    for rel, (msgs, eol) in boxes.items():
        path = PROFILE / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(encode_mailbox(msgs, eol))
        path.with_name(path.name + ".msf").write_bytes(mork_stub(path.name))
    (LOCAL / "msgFilterRules.dat").write_bytes(b'version="9"\nlogging="no"\n')
    (PROFILE / "prefs.js").write_bytes(PREFS.encode())
    return {rel: len(msgs) for rel, (msgs, _) in boxes.items()}


def encode_mailbox(msgs, eol):
    """The mailbox's bytes: each message in its own body charset, lines ended by eol."""
    out = bytearray()
    for m in msgs:
        charset = "iso-8859-1" if any("charset=ISO-8859-1" in h for h in m.headers) else "utf-8"
        out += m.text().replace("\n", eol).encode(charset)
    return bytes(out)


def check(expected):
    problems = []
    for rel, count in expected.items():
        path = PROFILE / rel
        box = mailbox.mbox(str(path), create=False)
        try:
            # The stored bytes, not a re-generated copy that would refold the headers.
            msgs = [box.get_bytes(key) for key in box.keys()]
        finally:
            box.close()
        if len(msgs) != count:
            problems.append("%s: %d messages, expected %d" % (rel, len(msgs), count))
        raw = path.read_bytes()
        if count == 0 and raw:
            problems.append("%s: should be empty" % rel)
        for i, stored in enumerate(msgs, 1):
            where = "%s #%d" % (rel, i)
            parsed = email.message_from_bytes(stored, policy=email.policy.default)
            for name in ("Date", "From", "To", "Subject", "Message-ID", "MIME-Version",
                         "X-Mozilla-Status", "X-Mozilla-Status2", "X-Mozilla-Keys"):
                if parsed[name] is None:
                    problems.append("%s: no %s" % (where, name))
            str(parsed["Subject"]), str(parsed["From"])  # decodes encoded words or raises
            for part in parsed.walk():
                if part.defects:
                    problems.append("%s: %s" % (where, part.defects))
                if part.is_multipart():
                    continue
                payload = part.get_payload(decode=True)
                if part.get_content_maintype() == "text":
                    payload.decode(part.get_content_charset() or "ascii")  # raises if wrong
                if part.get_content_type() == "image/png" and not payload.startswith(b"\x89PNG"):
                    problems.append("%s: PNG does not decode" % where)
                if part.get_filename() is not None and not part.get_filename():
                    problems.append("%s: empty file name" % where)
        # Every line that begins "From " must be a separator.
        for line in raw.split(b"\n"):
            if line.startswith(b"From ") and not line.startswith(b"From - "):
                problems.append("%s: unescaped From line %r" % (rel, line[:40]))
    total = sum(f.stat().st_size for f in (ROOT / "samples").rglob("*") if f.is_file())
    if total > SIZE_LIMIT:
        problems.append("samples/ is %d bytes, over %d" % (total, SIZE_LIMIT))
    return problems


def main():
    if "--check" in sys.argv[1:]:
        expected = {rel: len(msgs) for rel, (msgs, _) in layout().items()}
    else:
        expected = write()
    problems = check(expected)
    for p in problems:
        print("make-samples: " + p, file=sys.stderr)
    if problems:
        return 1
    for rel, n in expected.items():
        print("%-47s %2d messages, %6d bytes" % (rel, n, (PROFILE / rel).stat().st_size))
    return 0


if __name__ == "__main__":
    sys.exit(main())
