// THIRD-PARTY-NOTICES.txt: for each package that the link pulled into the
// exe, its name, version and upstream, and the licence terms that its
// copyright file states, word for word, then every common licence text that
// those terms refer to. Nothing in it depends on the time or the machine's
// paths but the packages' own.
import fs from 'node:fs'
import path from 'node:path'

const rule = '='.repeat(78)

function section (title) {
  return `${rule}\n${title}\n${rule}\n`
}

export function renderNotices ({ packages }) {
  const out = []
  out.push(section('Third-party notices for UninstallNotice.exe'))
  out.push(`UninstallNotice.exe is linked statically: besides its own code it holds parts
of the packages below, as the link that built it shows. Some of their
licences ask that their copyright notices, conditions and disclaimers come
with every copy of the program in binary form. Ship this file with the
product, beside the program or in its documentation or other materials.

`)
  for (const entry of packages) out.push(`  ${entry.name} ${entry.version}\n`)
  out.push('\n')
  const common = new Set()
  for (const entry of packages) {
    out.push(section(`${entry.name} ${entry.version}`))
    out.push(`Upstream: ${entry.upstream.name}, ${entry.upstream.url}\n`)
    out.push(`Linked into the program from: ${entry.files.map((file) => path.basename(file)).join(', ')}\n`)
    out.push(`Licence terms, as its copyright file (${entry.copyright}) states them:\n\n`)
    out.push(fs.readFileSync(entry.copyright, 'utf8').replace(/\s*$/, '\n\n'))
    for (const name of entry.commonLicences) common.add(name)
  }
  // Each text once, though several names may lead to it (GPL is GPL-3).
  const texts = new Map()
  for (const name of [...common].sort()) {
    let file = `/usr/share/common-licenses/${name}`
    try {
      file = fs.realpathSync(file)
    } catch {
      continue
    }
    if (!texts.has(file)) texts.set(file, [])
    texts.get(file).push(`/usr/share/common-licenses/${name}`)
  }
  for (const [file, names] of [...texts].sort()) {
    out.push(section(`${names.join(', ')}, as the terms above refer to it`))
    out.push(fs.readFileSync(file, 'utf8').replace(/\s*$/, '\n\n'))
  }
  return out.join('').replace(/\n+$/, '\n')
}
