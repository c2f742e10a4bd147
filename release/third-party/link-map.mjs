// What a GNU ld link map says went into the program: every object file that
// the link loaded whole, every archive member that it pulled in, and which
// file's reference pulled each member in.
import path from 'node:path'

// "ARCHIVE(MEMBER)" -> { file: ARCHIVE, member: MEMBER }; a plain object
// file -> { file, member: null }.
export function splitMember (text) {
  const match = /^(.*)\(([^()]*)\)$/.exec(text)
  return match ? { file: match[1], member: match[2] } : { file: text, member: null }
}

// "FILE (SYMBOL)" -> FILE
function referrer (text) {
  const at = text.lastIndexOf(' (')
  return at > 0 && text.endsWith(')') ? text.slice(0, at) : text
}

// Reads the map's text. Paths stay as the linker wrote them, made absolute
// against the folder that the link ran in and without "..", but links are
// not followed. Returns { loaded: [file], members: [{ file, member, by }] },
// where `by` is the file (an object, or an archive) whose reference pulled
// the member in.
export function readLinkMap (text, linkFolder) {
  const absolute = (file) => path.resolve(linkFolder, file)
  const lines = text.split('\n')
  const members = []
  const loaded = []
  let at = lines.indexOf('Archive member included to satisfy reference by file (symbol)')
  if (at >= 0) {
    for (at += 1; at < lines.length; at++) {
      const line = lines[at].replace(/\r$/, '')
      if (line === '') {
        if (members.length) break
        continue
      }
      if (/^\S/.test(line)) {
        // The member, and the referrer on the same line when the member's
        // name is short enough.
        const same = /^(\S.*?\))\s{2,}(\S.*\))$/.exec(line)
        const { file, member } = splitMember(same ? same[1] : line)
        members.push({ file: absolute(file), member, by: same ? referrer(same[2]) : null })
      } else if (members.length && members[members.length - 1].by === null) {
        members[members.length - 1].by = referrer(line.trim())
      }
    }
  }
  for (const member of members) {
    if (member.by === null) throw new Error(`the map names no referrer for ${member.member}`)
    member.by = absolute(splitMember(member.by).file)
  }
  const script = lines.indexOf('Linker script and memory map')
  if (script < 0) throw new Error('it is not a GNU ld link map (no "Linker script and memory map")')
  for (const line of lines.slice(script)) {
    const match = /^LOAD (.+)$/.exec(line.replace(/\r$/, ''))
    if (!match || match[1] === 'dll stuff' || match[1] === 'linker stubs') continue
    const file = absolute(match[1])
    // An archive counts only for the members that it gave.
    if (!file.endsWith('.a') && !loaded.includes(file)) loaded.push(file)
  }
  if (!loaded.length) throw new Error('the map loads no object file')
  return { loaded, members }
}
