// THIRD-PARTY-NOTICES.txt: what the publisher must ship with the exe, and
// why. For each package that the link pulled into the exe: its components
// and licence expression as the SBOM states them, and for each licence that
// a linked part is under, what that licence asks of a copy in binary form,
// that part's copyright lines and the licence's terms. A licence that no
// linked part is under is not here. Nothing in it depends on the time or
// the machine's paths but the packages' own.
import fs from 'node:fs'
import path from 'node:path'
import { concludedExpression } from './licences.mjs'

const rule = '='.repeat(78)

// TEXT as lines of at most 78 columns, broken at spaces.
function wrap (text) {
  const lines = []
  let line = ''
  for (const word of text.split(' ')) {
    if (line && line.length + 1 + word.length > 78) {
      lines.push(line)
      line = word
    } else {
      line = line ? `${line} ${word}` : word
    }
  }
  return [...lines, line].join('\n')
}

function section (title) {
  return `${rule}\n${title}\n${rule}\n`
}

// What each licence that we know asks of a program that holds parts under
// it, in binary form: `notice` where it asks that its notices come with
// every copy. A licence not known here is taken to ask it, and its terms
// say what else.
const asks = new Map([
  ['ZPL-2.1', {
    notice: true,
    text: `Asks, of every copy in binary form: that the copyright notice, the list
of conditions and the disclaimer below come with it, in its documentation
or other materials (condition 2); this file is that. Besides: the copyright
holders' names may not endorse or promote the product (condition 3), and no
right to their trademarks comes with it (condition 4).`
  }],
  ['public-domain', {
    notice: false,
    text: 'Asks nothing.'
  }],
  ['GPL-3+ with GCC-exception-3.1', {
    notice: false,
    text: `Asks nothing of this program. The GCC Runtime Library Exception, section
1, permits conveying a combination of these runtime parts with a program
that an Eligible Compilation Process made (GCC and the GNU binutils alone
compiled and linked this one) "under terms of your choice", even where the
GNU General Public License would ask otherwise. Its statement and text are
below; the GNU General Public License's own text is not here, as nothing
asks for it (it is at https://www.gnu.org/licenses/gpl-3.0.txt, and
in /usr/share/common-licenses/GPL-3 on Debian).`
  }]
])

const unknown = {
  notice: true,
  text: 'Its terms are below; this file keeps its notices with the program.'
}

// The copyright lines of a paragraph, or what its "public-domain" means.
function copyrightOf (declared) {
  const lines = declared.copyright.filter((line) => !/^public[ -]domain\.?$/i.test(line))
  if (!lines.length && (declared.copyright.length || declared.licence === 'public-domain')) return 'no copyright claimed (public domain)'
  return lines.join('\n           ')
}

// Every program's packages, each once: where both programs hold parts of
// one, the parts that each holds, and its objects by licence, counted once.
function mergedPackages (programs) {
  const merged = new Map()
  for (const { program, packages } of programs) {
    for (const entry of packages) {
      if (!merged.has(entry.name)) merged.set(entry.name, { ...entry, linked: [], declared: [] })
      const into = merged.get(entry.name)
      into.linked.push({ program, files: entry.files })
      for (const declared of entry.declared) {
        const same = into.declared.find((d) => d.licence === declared.licence && d.paragraph === declared.paragraph)
        if (same) same.objects = [...new Set([...same.objects, ...declared.objects])].sort()
        else into.declared.push({ ...declared })
      }
    }
  }
  return [...merged.values()].sort((a, b) => (a.name < b.name ? -1 : 1))
}

export function renderNotices (programs) {
  const out = []
  const packages = mergedPackages(programs)
  const names = programs.map((p) => p.program)
  const them = names.join(' and ')
  const licences = [...new Set(packages.flatMap((entry) => entry.declared.map((d) => d.licence)))]
  const noticed = licences.filter((name) => (asks.get(name) || unknown).notice)
  const free = licences.filter((name) => !(asks.get(name) || unknown).notice)
  out.push(section(`Third-party notices for ${them}`))
  out.push(`${wrap(`${them} ${names.length > 1 ? 'are' : 'is'} linked statically: besides ${names.length > 1 ? 'their' : 'its'} own code ${names.length > 1 ? 'each holds' : 'it holds'} parts of the packages below, as the link that built it shows. For each licence that a linked part is under, this file says what that licence asks of a copy of ${names.length > 1 ? 'either program' : 'the program'} in binary form, and gives the part's copyright lines and the licence's terms.`)}

`)
  const verb = (list) => (list.length > 1 ? 'ask' : 'asks')
  if (noticed.length) {
    let must = `What the publisher must do: ship this file with ${them}, beside ${names.length > 1 ? 'them' : 'it'} or in the documentation or other materials of the product that installs ${names.length > 1 ? 'them' : 'it'}. ` +
      `Of the licences below, ${noticed.join(' and ')} ${verb(noticed)} for that`
    if (free.length) must += `; ${free.join(' and ')} ${verb(free)} nothing of a copy in binary form`
    out.push(`${wrap(`${must}.`)}\n\n`)
  } else {
    out.push(`${wrap(`None of the licences below asks anything of a copy in binary form: nothing needs to be shipped with ${them}. This file says why.`)}\n\n`)
  }
  for (const entry of packages) {
    const exception = entry.declared.some((d) => /GCC-exception/.test(d.licence))
      ? ' (its exception lets the program be conveyed under terms of the publisher\'s choice: see below)'
      : ''
    out.push(`  ${entry.name} ${entry.version}: ${concludedExpression(entry)}${exception}\n`)
  }
  out.push('\n')
  for (const entry of packages) {
    out.push(section(`${entry.name} ${entry.version}`))
    out.push(`Upstream: ${entry.upstream.name} ${entry.upstream.version}, ${entry.upstream.url}\n`)
    if (entry.debianSource) {
      const builtUsing = entry.source.name !== entry.debianSource.name ? `, with the code of ${entry.source.name} ${entry.source.version}` : ''
      out.push(`Debian source package: ${entry.debianSource.name} ${entry.debianSource.version}${builtUsing}\n`)
    }
    for (const { program, files } of entry.linked) {
      out.push(`Linked into ${program}: ${files.map((file) => `${path.basename(file.path)} (${file.objects.length} of its objects)`).join(', ')}\n`)
    }
    out.push(`Licence, as the SBOM states it: ${concludedExpression(entry)}\n`)
    out.push(`What ${entry.copyright} says of the linked objects:\n`)
    for (const declared of entry.declared) {
      out.push(`  ${declared.licence}: ${declared.objects.length} objects (${declared.paragraph})\n`)
    }
    out.push('\n')
    for (const declared of entry.declared) {
      out.push(`--- ${declared.licence} ---\n\n`)
      out.push(`${(asks.get(declared.licence) || unknown).text}\n\n`)
      const copyright = copyrightOf(declared)
      if (copyright) out.push(`Copyright: ${copyright}\n\n`)
      if (declared.text) out.push(`${declared.text}\n\n`)
      // A licence not known here brings the text of each common licence
      // that its terms refer to.
      if (asks.has(declared.licence)) continue
      for (const name of new Set([...(declared.text || '').matchAll(/\/usr\/share\/common-licenses\/([A-Za-z0-9.+-]+[A-Za-z0-9+])/g)].map((m) => m[1]))) {
        out.push(`--- ${name}, as the terms above refer to it (/usr/share/common-licenses/${name}) ---\n\n`)
        out.push(fs.readFileSync(`/usr/share/common-licenses/${name}`, 'utf8').replace(/\s*$/, '\n\n'))
      }
    }
  }
  return out.join('').replace(/\n+$/, '\n')
}
