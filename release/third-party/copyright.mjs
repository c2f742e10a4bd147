// What a Debian copyright file says of the files that went into the exe.
// A machine-readable one (copyright-format 1.0) has paragraphs of Files:
// patterns, Copyright: lines and a License:; the last paragraph whose
// pattern matches a source file decides its licence. GCC's is not
// machine-readable, but it states in one sentence which licence covers its
// runtime libraries.
import fs from 'node:fs'
import { Refusal } from './refusal.mjs'

// Each paragraph as a map of its fields, each field's lines joined with
// "\n" (continuation lines keep their text, less the leading space; a line
// of " ." is an empty line).
export function paragraphs (text) {
  return text.replace(/\r\n/g, '\n').split(/\n[ \t]*\n/).map((block) => {
    const fields = new Map()
    let last = null
    for (const line of block.split('\n')) {
      const field = /^([A-Za-z][A-Za-z0-9-]*):[ \t]*(.*)$/.exec(line)
      if (field) {
        last = field[1]
        if (!fields.has(last)) fields.set(last, field[2].trimEnd())
        else last = null
      } else if (last && /^[ \t]/.test(line)) {
        fields.set(last, `${fields.get(last)}\n${line.trim() === '.' ? '' : line.trim()}`)
      }
    }
    return fields
  }).filter((fields) => fields.size > 0)
}

// A Files: pattern as a regular expression: "*" is any run of characters,
// "/" included, "?" one character, and "\*", "\?", "\\" stand for themselves.
function patternOf (glob) {
  let source = ''
  for (let i = 0; i < glob.length; i++) {
    const c = glob[i]
    if (c === '\\' && i + 1 < glob.length && '*?\\'.includes(glob[i + 1])) source += `\\${glob[++i]}`
    else if (c === '*') source += '.*'
    else if (c === '?') source += '.'
    else source += c.replace(/[.+^${}()|[\]\\]/g, '\\$&')
  }
  return new RegExp(`^${source}$`, 's')
}

const gccRuntimeStatement = 'The following runtime libraries are licensed under the terms of the GNU General Public License (v3 or later) with version 3.1 of the GCC Runtime Library Exception'

// The copyright file of package NAME: { machineReadable, upstream, files:
// [{ patterns, copyright, licence, text }], texts: Map(licence name -> its
// text from a stand-alone License: paragraph), runtime: the one licence
// that a non-machine-readable file states for its runtime libraries }.
export function readCopyright (name, file, homepage) {
  let text
  try {
    text = fs.readFileSync(file, 'utf8')
  } catch {
    throw new Refusal(`the package ${name} has no copyright file at ${file}`)
  }
  if (/^Format:.*copyright-format/.test(text)) {
    const [header, ...rest] = paragraphs(text)
    const files = []
    const texts = new Map()
    for (const paragraph of rest) {
      const licence = paragraph.get('License')
      if (!licence) continue
      const [short, ...body] = licence.split('\n')
      if (paragraph.has('Files')) {
        const patterns = paragraph.get('Files').split(/\s+/).filter(Boolean)
        files.push({
          patterns,
          matchers: patterns.map(patternOf),
          copyright: (paragraph.get('Copyright') || '').split('\n').map((line) => line.trim()).filter(Boolean),
          licence: short.trim(),
          text: body.join('\n').trim()
        })
      } else if (body.join('').trim()) {
        texts.set(short.trim(), body.join('\n').trim())
      }
    }
    if (!files.length) throw new Refusal(`the copyright file ${file} of ${name} states no licence`)
    return {
      machineReadable: true,
      file,
      upstream: { name: header.get('Upstream-Name') || name, url: (header.get('Source') || homepage).split('\n')[0] },
      files,
      texts
    }
  }
  if (text.replace(/\s+/g, ' ').includes(gccRuntimeStatement)) {
    // Its copyright line, the statement with the list of runtime libraries,
    // and the exception's own text; the GPL-3 is a common licence.
    const copyright = /^GCC is Copyright \(C\)[\s\S]*?Free Software Foundation, Inc\./m.exec(text)
    const statement = /^The following runtime libraries are licensed[\s\S]*?\n\n[\s\S]*?(?=\n\n)/m.exec(text)
    const exception = /^GCC RUNTIME LIBRARY EXCEPTION$[\s\S]*?copyleft\s+requirements of the license of GCC\./m.exec(text)
    if (!copyright || !statement || !exception) {
      throw new Refusal(`cannot find the copyright line, the runtime statement and the runtime library exception in ${file}`)
    }
    return {
      machineReadable: false,
      file,
      upstream: { name, url: homepage },
      runtime: {
        licence: 'GPL-3+ with GCC-exception-3.1',
        copyright: [copyright[0].replace(/\s+/g, ' ')],
        text: `${statement[0]}\n\n${exception[0]}\n\nThe GNU General Public License, version 3: /usr/share/common-licenses/GPL-3`
      }
    }
  }
  throw new Refusal(`cannot read the licences of ${name} from ${file}: it is not machine-readable`)
}

// The paragraph that covers SOURCE (a path in the upstream's source tree, or
// null for an object that names none: it takes "Files: *"), or a refusal.
export function paragraphFor (copyright, source, object) {
  const path = source ?? '*'
  let found = null
  for (const paragraph of copyright.files) {
    if (source === null ? paragraph.patterns.includes('*') : paragraph.matchers.some((m) => m.test(path))) found = paragraph
  }
  if (!found) {
    throw new Refusal(source === null
      ? `${object} went into the exe without debugging information, and ${copyright.file} has no "Files: *" paragraph for it`
      : `${object} went into the exe from ${source}, which no paragraph of ${copyright.file} covers`)
  }
  return found
}
