#!/usr/bin/env node
// What went into the programs of a release (UninstallNotice.exe and
// FilesInUse.exe) besides their own code, found from each link itself, and
// what a release says of it:
//
//   third-party.mjs components OUT.json LINK-FOLDER (MAP OWN-FOLDER EXE)...
//       for each program, the packages that its link map shows went in
//       (files under OWN-FOLDER are the program's own; paths in the map are
//       relative to LINK-FOLDER), with their versions, upstreams, the
//       licences of what went in and who calls on whom; and the DLLs that
//       EXE imports
//   third-party.mjs notices COMPONENTS.json OUT.txt
//       THIRD-PARTY-NOTICES.txt, for every program
//   third-party.mjs sbom COMPONENTS.json OUT.json  (the release's inputs in
//       the environment: SBOM_VERSION, SBOM_COMMIT, SBOM_TIME, SBOM_PROGRAMS
//       and SBOM_INCLUDES (one file a line), PUBLISHER_NAME, PUBLISHER_URL and,
//       optional, PUBLISHER_LICENSE, PUBLISHER_LICENSE_URL, SOURCE_URL,
//       DOWNLOAD_URL; a verifier adds SBOM_DEBS_FROM, the release's SBOM,
//       whose .deb names and hashes are taken, each checked where apt here
//       knows it)
//       the CycloneDX 1.6 SBOM; prints the BSI TR-03183-2 fields that it
//       lacks, one a line, then a line "unchecked: ..." for each fact taken
//       from SBOM_DEBS_FROM that apt here could not check
//   third-party.mjs validate FILE.json
//       the CycloneDX library's strict validator on a file
//   third-party.mjs check-inputs
//       PUBLISHER_* and the URLs, as make release takes them
//   third-party.mjs check-modules ROOT
//       ROOT/node_modules holds exactly the packages of ROOT/package-lock.json,
//       each by its name and version there: the SBOM names the CycloneDX
//       library that wrote it, and a release is made and checked with the
//       one that the commit pins
//
// Any failure is one line on stderr and exit code 1; wrong usage, 2.
import fs from 'node:fs'
import path from 'node:path'

const fail = (message, status = 1) => {
  process.stderr.write(`third-party: ${message}\n`)
  process.exit(status)
}
const usage = () => fail('usage: third-party.mjs components OUT.json LINK-FOLDER (MAP OWN-FOLDER EXE)... | notices COMPONENTS.json OUT.txt | sbom COMPONENTS.json OUT.json | validate FILE.json | check-inputs | check-modules ROOT', 2)

function read (file, what) {
  try {
    return fs.readFileSync(file, 'utf8')
  } catch {
    fail(`cannot read ${what} at ${file}`)
  }
}

// Written whole or not at all.
function write (file, text) {
  const temporary = `${file}.partial`
  fs.writeFileSync(temporary, text)
  fs.renameSync(temporary, file)
}

// The component list: one entry a program, in the release's order.
function components (file) {
  try {
    const parsed = JSON.parse(read(file, 'the component list'))
    if (!Array.isArray(parsed.programs) || !parsed.programs.length ||
      !parsed.programs.every((p) => typeof p.program === 'string' && Array.isArray(p.packages))) throw new Error()
    return parsed.programs
  } catch {
    fail(`${file} is not a component list (third-party.mjs components writes one)`)
  }
}

// The release's inputs: what a publisher gives, checked as make release
// takes it, before anything is built.
function inputs () {
  const env = process.env
  const given = (name) => (env[name] || '').length > 0
  if (!given('PUBLISHER_NAME') || !given('PUBLISHER_URL')) {
    fail('PUBLISHER_NAME and PUBLISHER_URL (an https URL) are required: the SBOM names the publisher as the maker and supplier of the exe')
  }
  for (const name of ['PUBLISHER_URL', 'SOURCE_URL', 'DOWNLOAD_URL', 'PUBLISHER_LICENSE_URL']) {
    if (!given(name)) continue
    let url
    try {
      url = new URL(env[name])
    } catch {}
    const https = name === 'PUBLISHER_URL' ? ['https:'] : ['https:', 'http:', 'git:', 'ssh:']
    if (!url || !https.includes(url.protocol) || /[\s<>"]/.test(env[name])) {
      fail(`${name} must be ${name === 'PUBLISHER_URL' ? 'an https' : 'a'} URL, not '${env[name]}'`)
    }
  }
  // BUILDINFO records them, and holds printable ASCII only.
  for (const name of ['PUBLISHER_NAME', 'PUBLISHER_URL', 'SOURCE_URL', 'DOWNLOAD_URL', 'PUBLISHER_LICENSE', 'PUBLISHER_LICENSE_URL']) {
    if (/[^\x20-\x7e]/.test(env[name] || '')) fail(`${name} must be printable ASCII on one line`)
  }
  return {
    publisher: { name: env.PUBLISHER_NAME, url: env.PUBLISHER_URL },
    licence: env.PUBLISHER_LICENSE || null,
    licenceUrl: env.PUBLISHER_LICENSE_URL || null,
    sourceUrl: env.SOURCE_URL || null,
    downloadUrl: env.DOWNLOAD_URL || null
  }
}

// The packages under a node_modules folder, by their paths below ROOT
// ("node_modules/a", "node_modules/@s/b", "node_modules/a/node_modules/c").
function installedPackages (root, folder = 'node_modules', found = []) {
  let names = []
  try {
    names = fs.readdirSync(path.join(root, folder))
  } catch {}
  for (const name of names.filter((n) => !n.startsWith('.')).sort()) {
    const below = `${folder}/${name}`
    if (name.startsWith('@')) {
      installedPackages(root, below, found)
      continue
    }
    if (!fs.existsSync(path.join(root, below, 'package.json'))) continue
    found.push(below)
    installedPackages(root, `${below}/node_modules`, found)
  }
  return found
}

function checkModules (root) {
  let lock
  try {
    lock = JSON.parse(read(path.join(root, 'package-lock.json'), 'the lock file')).packages
    if (!lock || typeof lock !== 'object') throw new Error()
  } catch {
    fail(`${root}/package-lock.json is not an npm lock file`)
  }
  const shown = (text) => String(text).replace(/[^\x20-\x7e]/g, '?')
  const locked = Object.keys(lock).filter((key) => key.startsWith('node_modules/'))
  for (const key of locked) {
    const expected = lock[key].name || key.slice(key.lastIndexOf('node_modules/') + 'node_modules/'.length)
    let installed
    try {
      installed = JSON.parse(fs.readFileSync(path.join(root, key, 'package.json'), 'utf8'))
    } catch {
      if (lock[key].optional) continue
      fail(`node_modules does not hold ${expected} ${lock[key].version}, which package-lock.json pins (npm ci installs what it pins)`)
    }
    if (installed.name !== expected || installed.version !== lock[key].version) {
      fail(`node_modules holds ${shown(installed.name)} ${shown(installed.version)} at ${key}, where package-lock.json pins ${expected} ${lock[key].version} (npm ci installs what it pins)`)
    }
  }
  const extra = installedPackages(root).find((key) => !(key in lock))
  if (extra) fail(`node_modules holds ${shown(extra.slice('node_modules/'.length))}, which package-lock.json does not pin (npm ci installs what it pins)`)
}

async function main (argv) {
  const [command, ...args] = argv
  // The CycloneDX library asks for Node.js 20.18 or later.
  const [major, minor] = process.versions.node.split('.').map(Number)
  if (['sbom', 'validate', 'check-inputs'].includes(command) && (major < 20 || (major === 20 && minor < 18))) {
    fail(`the CycloneDX library needs Node.js 20.18 or later, and this is ${process.versions.node}`)
  }
  if (command === 'components' && args.length >= 5 && (args.length - 2) % 3 === 0) {
    const { readLinkMap } = await import('./third-party/link-map.mjs')
    const { linkedPackages } = await import('./third-party/packages.mjs')
    const { importsOf } = await import('./third-party/objects.mjs')
    const [out, linkFolder] = args
    const programs = []
    for (let i = 2; i < args.length; i += 3) {
      const [map, ownFolder, exe] = args.slice(i, i + 3)
      let linked
      try {
        linked = readLinkMap(read(map, 'the link map'), path.resolve(linkFolder))
      } catch (error) {
        if (error instanceof Error && !error.code) fail(`${map}: ${error.message}`)
        throw error
      }
      read(exe, 'the program')
      programs.push({ program: path.basename(exe), ...linkedPackages(linked, path.resolve(ownFolder), importsOf(exe)) })
    }
    write(out, JSON.stringify({ programs }, null, 2) + '\n')
  } else if (command === 'notices' && args.length === 2) {
    const { renderNotices } = await import('./third-party/notices.mjs')
    write(args[1], renderNotices(components(args[0])))
  } else if (command === 'check-modules' && args.length === 1) {
    checkModules(args[0])
  } else if (command === 'check-inputs' && args.length === 0) {
    const given = inputs()
    const { isSpdxExpression, licenceRefs } = await import('./third-party/licences.mjs')
    if (given.licence && !isSpdxExpression(given.licence)) {
      fail(`PUBLISHER_LICENSE must be an SPDX licence expression (such as MIT, or LicenseRef-Quillane-EULA), not '${given.licence}'`)
    }
    // The URL defines the one licence of the publisher's own that SPDX
    // does not: where there is none, or more than one, it would say nothing.
    const refs = licenceRefs(given.licence || '')
    if (given.licenceUrl && refs.length !== 1) {
      fail(`PUBLISHER_LICENSE_URL gives the text of the one LicenseRef-... in PUBLISHER_LICENSE, and ${given.licence ? `'${given.licence}' has ${refs.length}` : 'PUBLISHER_LICENSE is not given'}`)
    }
  } else if (command === 'sbom' && args.length === 2) {
    const { makeSbom } = await import('./third-party/sbom.mjs')
    const env = process.env
    const given = inputs()
    const release = {
      ...given,
      version: env.SBOM_VERSION,
      commit: env.SBOM_COMMIT,
      time: Number(env.SBOM_TIME),
      programs: (env.SBOM_PROGRAMS || '').split('\n').filter(Boolean),
      includes: (env.SBOM_INCLUDES || '').split('\n').filter(Boolean)
    }
    if (!release.version || !/^[0-9a-f]{40}$/.test(release.commit || '') || !Number.isInteger(release.time) || !release.programs.length) {
      fail('sbom needs SBOM_VERSION, SBOM_COMMIT (a full commit id), SBOM_TIME (seconds) and SBOM_PROGRAMS', 2)
    }
    for (const file of [...release.programs, ...release.includes]) read(file, 'a file of the release')
    const listed = components(args[0])
    const names = listed.map((p) => p.program).join(' ')
    if (release.programs.map((file) => path.basename(file)).join(' ') !== names) {
      fail(`SBOM_PROGRAMS names ${release.programs.map((file) => path.basename(file)).join(' ')}, but ${args[0]} lists ${names}`, 2)
    }
    const { debsOf, debsInSbom } = await import('./third-party/debs.mjs')
    let stated = null
    if (env.SBOM_DEBS_FROM) {
      try {
        stated = debsInSbom(JSON.parse(read(env.SBOM_DEBS_FROM, 'the SBOM')))
      } catch (error) {
        if (error instanceof SyntaxError) fail(`${env.SBOM_DEBS_FROM} is not JSON, so not a CycloneDX SBOM`)
        throw error
      }
    }
    // Each package once, though both programs hold parts of it.
    const packages = [...new Map(listed.flatMap((p) => p.packages).map((entry) => [entry.name, entry])).values()]
    const { debs, unchecked } = debsOf(packages, stated)
    const { text, lacking } = await makeSbom(listed, { ...release, debs, tool: { name: 'third-party.mjs', version: release.commit } })
    write(args[1], text)
    for (const field of lacking) process.stdout.write(`${field}\n`)
    for (const fact of unchecked) process.stdout.write(`unchecked: ${fact}\n`)
  } else if (command === 'validate' && args.length === 1) {
    const { validateSbom } = await import('./third-party/sbom.mjs')
    const text = read(args[0], 'the SBOM')
    try {
      JSON.parse(text)
    } catch {
      fail(`${args[0]} is not JSON, so not a CycloneDX SBOM`)
    }
    const verdict = await validateSbom(text)
    if (verdict) fail(`${args[0]} is not valid CycloneDX 1.6: ${JSON.stringify(verdict).slice(0, 300)}`)
  } else {
    usage()
  }
}

main(process.argv.slice(2)).catch(async (error) => {
  const { Refusal } = await import('./third-party/refusal.mjs')
  if (error instanceof Refusal) fail(error.message)
  if (error && error.code === 'ERR_MODULE_NOT_FOUND') fail(`a module is missing (make installs them: npm ci): ${error.message.split('\n')[0]}`)
  fail(`unexpected: ${String(error && error.message ? error.message : error).replace(/[^\x20-\x7e]+/g, ' ')}`)
})
