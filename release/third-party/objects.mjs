// What each object that went into the exe is: the source file that its
// debugging information names (its DWARF compile unit), and the symbols that
// it defines and those that it needs. Read with the cross binutils, from a
// copy of each archive member.
import { execFileSync } from 'node:child_process'
import fs from 'node:fs'
import os from 'node:os'
import path from 'node:path'
import { Refusal } from './refusal.mjs'

const objdump = 'x86_64-w64-mingw32-objdump'
const nm = 'x86_64-w64-mingw32-nm'

// A tool's output. Where it cannot read the file: a refusal that names WHAT,
// or, without WHAT, nothing.
function run (command, args, what = null) {
  try {
    return execFileSync(command, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'], maxBuffer: 64 * 1024 * 1024 })
  } catch (error) {
    if (error.code === 'ENOENT') throw new Refusal(`${command} is not installed (make installs binutils-mingw-w64-x86-64)`)
    if (what) throw new Refusal(`${command} cannot read ${what}`)
    return ''
  }
}

// The source file that an object's first compile unit names, as a path in
// its upstream's tree ("./mingw-w64-crt/crt/crtexe.c" ->
// "mingw-w64-crt/crt/crtexe.c"; an absolute path loses its compile
// directory), or null for an object without debugging information.
export function sourceOf (dwarf) {
  const unit = /DW_TAG_compile_unit[\s\S]*?(?=\n\s*<\d+><[0-9a-f]+>: Abbrev Number|\n\s*Compilation Unit @|$)/.exec(dwarf)
  if (!unit) return null
  const field = (name) => {
    const match = new RegExp(`DW_AT_${name}\\s*:\\s*(?:\\([^)]*\\):\\s*)?(.+)`).exec(unit[0])
    return match ? match[1].trim() : null
  }
  let name = field('name')
  if (!name) return null
  const folder = field('comp_dir')
  if (folder && name.startsWith(`${folder}/`)) name = name.slice(folder.length + 1)
  return path.posix.normalize(name).replace(/^(\.\.?\/)+/, '')
}

// Symbols from `nm -P`: the global ones that it defines, and those that it
// needs from elsewhere.
export function symbolsOf (listing) {
  const defines = []
  const needs = []
  for (const line of listing.split('\n')) {
    const match = /^(\S+) ([A-Za-z]) /.exec(line)
    if (!match) continue
    if (match[2] === 'U') needs.push(match[1])
    else if (/[A-Z]/.test(match[2])) defines.push(match[1])
  }
  return { defines, needs }
}

// A tool's output over many files at once, whether or not it could read
// every one of them (a resource, say, it cannot).
function runOver (command, args, files) {
  const chunks = []
  for (let start = 0; start < files.length; start += 200) {
    try {
      chunks.push(execFileSync(command, [...args, ...files.slice(start, start + 200)], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'], maxBuffer: 256 * 1024 * 1024 }))
    } catch (error) {
      if (error.code === 'ENOENT') throw new Refusal(`${command} is not installed (make installs binutils-mingw-w64-x86-64)`)
      chunks.push(typeof error.stdout === 'string' ? error.stdout : '')
    }
  }
  return chunks.join('')
}

// Reads every OBJECT ({ file, member }: a member of the archive FILE, or the
// object file FILE itself where member is null), adding source, defines and
// needs to each. Each becomes a copy of its own, N.o, in a folder of ours,
// so that one run of each tool reads them all and says which is which by
// names that no path of the caller's can imitate.
export function readObjects (objects) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'third-party-objects-'))
  try {
    const copy = (index) => path.join(folder, `${index}.o`)
    const members = new Map()
    objects.forEach((object, index) => {
      if (!object.member) {
        // A file that is not there carries nothing, as the tools would say.
        try {
          fs.copyFileSync(object.file, copy(index))
        } catch {}
        return
      }
      if (!members.has(object.file)) members.set(object.file, [])
      members.get(object.file).push(index)
    })
    // Out of each archive at once; a member whose name the archive holds
    // twice, on its own, as ar p gives it.
    let archiveNumber = 0
    for (const [archive, indices] of members) {
      const names = indices.map((index) => objects[index].member)
      const twice = new Set(names.filter((name, at) => names.indexOf(name) !== at))
      const out = path.join(folder, `archive-${archiveNumber++}`)
      fs.mkdirSync(out)
      const once = [...new Set(names.filter((name) => !twice.has(name)))]
      try {
        if (once.length) execFileSync('ar', ['x', `--output=${out}`, '--', archive, ...once], { stdio: ['ignore', 'ignore', 'ignore'] })
      } catch {
        throw new Refusal(`cannot take ${once[0]} out of its archive ${archive}`)
      }
      for (const index of indices) {
        const { member } = objects[index]
        try {
          if (twice.has(member)) fs.writeFileSync(copy(index), execFileSync('ar', ['p', '--', archive, member], { stdio: ['ignore', 'pipe', 'ignore'], maxBuffer: 64 * 1024 * 1024 }))
          else fs.copyFileSync(path.join(out, member), copy(index))
        } catch {
          throw new Refusal(`cannot take ${member} in ${archive} out of its archive`)
        }
      }
    }
    const files = objects.map((_, index) => copy(index))
    const byFile = (output, start) => {
      const parts = new Map()
      let current = null
      for (const line of output.split('\n')) {
        const header = start(line)
        if (header !== null) current = header
        if (current === null) continue
        if (!parts.has(current)) parts.set(current, [])
        parts.get(current).push(line)
      }
      return parts
    }
    const escaped = folder.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')
    // objdump heads each file's part with "PATH:     file format ...".
    const dwarf = byFile(runOver(objdump, ['--dwarf=info', '--dwarf-depth=1'], files), (line) => {
      const match = new RegExp(`^${escaped}/(\\d+)\\.o:\\s+file format`).exec(line)
      return match ? Number(match[1]) : null
    })
    // nm -A puts "PATH: " before each symbol.
    const symbols = new Map()
    for (const line of runOver(nm, ['-A', '-P'], files).split('\n')) {
      const match = new RegExp(`^${escaped}/(\\d+)\\.o: (.*)$`).exec(line)
      if (!match) continue
      const index = Number(match[1])
      if (!symbols.has(index)) symbols.set(index, [])
      symbols.get(index).push(match[2])
    }
    objects.forEach((object, index) => {
      // A resource, or an object of a format that these tools do not read,
      // carries neither.
      Object.assign(object, { source: sourceOf((dwarf.get(index) || []).join('\n')) },
        symbolsOf((symbols.get(index) || []).join('\n')))
    })
  } finally {
    fs.rmSync(folder, { recursive: true, force: true })
  }
  return objects
}

// The DLLs that the exe imports, each with the functions that it takes from
// it, from the exe's import table.
export function importsOf (exe) {
  const table = run(objdump, ['-p', exe], exe)
  const dlls = new Map()
  let current = null
  for (const line of table.split('\n')) {
    const dll = /^\s*DLL Name: (\S+)$/.exec(line)
    if (dll) {
      current = dll[1]
      if (!dlls.has(current)) dlls.set(current, new Set())
      continue
    }
    if (/^\s*$/.test(line)) current = null
    const entry = current && /^\s*[0-9a-f]+\s+\d+\s+(\S+)/.exec(line)
    if (entry) dlls.get(current).add(entry[1])
  }
  const subsystem = /MajorSubsystemVersion\s+(\d+)[\s\S]*?MinorSubsystemVersion\s+(\d+)/.exec(table)
  return {
    windows: subsystem ? `${subsystem[1]}.${subsystem[2]}` : null,
    dlls: [...dlls].map(([name, functions]) => ({ name, functions: [...functions].sort() })).sort((a, b) => (a.name.toLowerCase() < b.name.toLowerCase() ? -1 : 1))
  }
}
