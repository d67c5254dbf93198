// Prints folders, messages, recipients and attachments of a PST as pst-extractor reads them;
// the PST tests compare its output with what they wrote.
const { PSTFile } = require('pst-extractor');
const crypto = require('crypto');
const pst = new PSTFile(process.argv[2]);
function walk(folder, path) {
  const p = path + '/' + folder.displayName;
  console.log('FOLDER ' + p + ' count=' + folder.contentCount + ' sub=' + folder.hasSubfolders);
  if (folder.contentCount > 0) {
    let m = folder.getNextChild();
    while (m) {
      console.log('MSG ' + p + ' subject=' + JSON.stringify(m.subject) + ' from=' + m.senderName + ' <' + m.senderEmailAddress + '> body=' + crypto.createHash('md5').update(m.body || '').digest('hex') + ' html=' + (m.bodyHTML || '').length + ' flags=' + m.messageFlags);
      for (let i = 0; i < m.numberOfRecipients; i++) { const r = m.getRecipient(i); console.log('  RCPT ' + r.recipientType + ' ' + r.displayName + ' <' + r.emailAddress + '>'); }
      for (let i = 0; i < m.numberOfAttachments; i++) {
        const a = m.getAttachment(i);
        if (a.attachMethod === 5) { const e = a.embeddedPSTMessage; console.log('  EMBEDDED subject=' + JSON.stringify(e ? e.subject : null)); continue; }
        const s = a.fileInputStream; let buf = Buffer.alloc(0);
        if (s) { const chunk = Buffer.alloc(8176); let n; const parts = []; while ((n = s.read(chunk)) > 0) parts.push(Buffer.from(chunk.subarray(0, n))); buf = Buffer.concat(parts); }
        console.log('  ATT ' + a.longFilename + ' size=' + buf.length + ' md5=' + crypto.createHash('md5').update(buf).digest('hex'));
      }
      m = folder.getNextChild();
    }
  }
  if (folder.hasSubfolders) for (const f of folder.getSubFolders()) walk(f, p);
}
walk(pst.getRootFolder(), '');
