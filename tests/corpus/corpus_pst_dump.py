#!/usr/bin/env python3
"""Dumps what libpff (python3-pypff) reads from a PST, for corpus_pst_test.

Usage: corpus_pst_dump.py FILE.pst
One line per folder, then one record per message in the order pypff lists them:
  D <folder path> <messages>
  M <folder path> <index>
  subject|class|sender|submit|body|html|cpid <value>
  A <method> <size> <sha256 or -> <file name>
Strings and bodies are written as hex (libpff's UTF-8 for strings, the bodies as pypff returns
them), so that the reader needs no JSON or escaping rules; "." is the empty value, "-" a value
pypff does not give."""
import hashlib
import sys

import pypff

PR_MESSAGE_CLASS = 0x001A
PR_SENDER_EMAIL = 0x0C1F
PR_SENT_REPRESENTING_EMAIL = 0x0065
PR_ATTACH_FILENAME = 0x3704
PR_ATTACH_METHOD = 0x3705
PR_ATTACH_LONG_FILENAME = 0x3707
PR_INTERNET_CPID = 0x3FDE
FILETIME_UNIX_EPOCH = 116444736000000000


def entry(item, tag):
    for record_set in item.record_sets:
        for e in record_set.entries:
            if e.entry_type == tag:
                return e
    return None


def text(item, tag):
    e = entry(item, tag)
    if e is None:
        return None
    try:
        return e.data_as_string
    except (IOError, OSError, ValueError):
        return None


def hexed(value):
    if value is None:
        return '-'
    if isinstance(value, str):
        value = value.encode('utf-8', 'surrogateescape')
    return value.hex() if value else '.'


def submit_seconds(message):
    try:
        ft = message.get_client_submit_time_as_integer()
    except (IOError, OSError):
        return '-'
    if not ft:
        return '-'
    return str((ft - FILETIME_UNIX_EPOCH) // 10000000)


def attachment_line(a):
    method_entry = entry(a, PR_ATTACH_METHOD)
    method = method_entry.data_as_integer if method_entry is not None else 0
    name = text(a, PR_ATTACH_LONG_FILENAME) or text(a, PR_ATTACH_FILENAME)
    size, digest = a.size or 0, '-'
    if method != 5:  # an embedded message has no bytes to read
        data = a.read_buffer(size) if size else b''
        size, digest = len(data), hashlib.sha256(data).hexdigest()
    return f'A {method} {size} {digest} {hexed(name)}'


def dump(message, path, index, out):
    out.write(f'M {hexed(path)} {index}\n')
    out.write(f'subject {hexed(message.subject)}\n')
    out.write(f'class {hexed(text(message, PR_MESSAGE_CLASS))}\n')
    sender = text(message, PR_SENDER_EMAIL) or text(message, PR_SENT_REPRESENTING_EMAIL)
    out.write(f'sender {hexed(sender)}\n')
    out.write(f'submit {submit_seconds(message)}\n')
    out.write(f'body {hexed(message.plain_text_body)}\n')
    out.write(f'html {hexed(message.html_body)}\n')
    cpid = entry(message, PR_INTERNET_CPID)
    out.write(f'cpid {cpid.data_as_integer if cpid is not None else "-"}\n')
    for j in range(message.number_of_attachments):
        out.write(attachment_line(message.get_attachment(j)) + '\n')


def walk(folder, path, out):
    out.write(f'D {hexed(path)} {folder.number_of_sub_messages}\n')
    for i in range(folder.number_of_sub_messages):
        dump(folder.get_sub_message(i), path, i, out)
    for k in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(k)
        walk(sub, f'{path}/{sub.name}', out)


def main(path):
    f = pypff.file()
    f.open(path)
    root = f.get_root_folder()
    if root is None:
        sys.exit('no root folder')
    walk(root, '', sys.stdout)


if __name__ == '__main__':
    main(sys.argv[1])
