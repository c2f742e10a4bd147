// THIRD-PARTY-NOTICES.txt: what the publisher must ship with the exe, and
// why. For each package that the link pulled into the exe: its components
// and licence expression as the SBOM states them, and for each licence that
// a linked part is under, that part's copyright lines and the licence's
// text. A licence that no linked part is under is not here. Nothing in it
// depends on the time or the machine's paths but the packages' own.
import fs from 'node:fs'
import path from 'node:path'
import { concludedExpression } from './sbom.mjs'

const rule = '='.repeat(78)

function section (title) {
  return `${rule}\n${title}\n${rule}\n`
}

export function renderNotices ({ packages }) {
  const out = []
  out.push(section('Third-party notices for UninstallNotice.exe'))
  out.push(`UninstallNotice.exe is linked statically: besides its own code it holds parts
of the packages below, as the link that built it shows. Their licences ask
that their copyright notices, conditions and disclaimers come with every
copy of the program in binary form.

What the publisher must do: ship this file with UninstallNotice.exe, beside
it or in the documentation or other materials of the product that installs
it.

`)
  for (const entry of packages) out.push(`  ${entry.name} ${entry.version}: ${concludedExpression(entry)}\n`)
  out.push('\n')
  for (const entry of packages) {
    out.push(section(`${entry.name} ${entry.version}`))
    out.push(`Upstream: ${entry.upstream.name} ${entry.upstream.version}, ${entry.upstream.url}\n`)
    out.push(`Linked into the program: ${entry.files.map((file) => `${path.basename(file.path)} (${file.objects.length} of its objects)`).join(', ')}\n`)
    out.push(`Licence, as the SBOM states it: ${concludedExpression(entry)}\n`)
    out.push(`What ${entry.copyright} says of the linked objects:\n`)
    for (const declared of entry.declared) {
      out.push(`  ${declared.licence}: ${declared.objects.length} objects (${declared.paragraph})\n`)
    }
    out.push('\n')
    for (const declared of entry.declared) {
      out.push(`--- ${declared.licence} ---\n\n`)
      if (declared.copyright.length) out.push(`Copyright: ${declared.copyright.join('\n           ')}\n\n`)
      if (declared.text) out.push(`${declared.text}\n\n`)
      // A text that refers to a common licence brings that licence's text.
      for (const name of new Set([...(declared.text || '').matchAll(/\/usr\/share\/common-licenses\/([A-Za-z0-9.+-]+[A-Za-z0-9+])/g)].map((m) => m[1]))) {
        out.push(`--- ${name}, as the terms above refer to it (/usr/share/common-licenses/${name}) ---\n\n`)
        out.push(fs.readFileSync(`/usr/share/common-licenses/${name}`, 'utf8').replace(/\s*$/, '\n\n'))
      }
    }
  }
  return out.join('').replace(/\n+$/, '\n')
}
