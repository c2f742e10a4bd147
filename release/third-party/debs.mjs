// The deployable form of a Debian package: its .deb, as apt's signed index
// names and hashes it, and, where apt's cache holds that very file, its
// SHA-512 too (the index gives none). A release must not depend on the
// cache being full: what is not there stays unknown, and the SBOM says so.
import { execFileSync } from 'node:child_process'
import crypto from 'node:crypto'
import fs from 'node:fs'
import path from 'node:path'
import { paragraphs } from './copyright.mjs'
import { Refusal } from './refusal.mjs'

export const aptArchives = '/var/cache/apt/archives'

function showIndex (packages) {
  try {
    return execFileSync('apt-cache', ['show', '--', ...packages.map((p) => `${p.name}=${p.version}`)], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'], maxBuffer: 16 * 1024 * 1024 })
  } catch (error) {
    // Some not known: the others are answered.
    return typeof error.stdout === 'string' ? error.stdout : ''
  }
}

const asked = new Map() // apt-cache's answers, by question: the index does not change under us

// What apt's index says of each package ({ name, version, architecture })
// at its version: Map(name -> { filename, sha256 }), without the packages
// of which it does not know that version. One run of apt-cache for all.
export function indexedDebs (packages) {
  const found = new Map()
  if (!packages.length) return found
  const question = packages.map((p) => `${p.name}=${p.version}`).join(' ')
  let text = asked.get(question)
  if (text === undefined) {
    text = showIndex(packages)
    asked.set(question, text)
  }
  const stanzas = paragraphs(text)
  for (const { name, version, architecture } of packages) {
    const stanza = stanzas.find((fields) => fields.get('Package') === name && fields.get('Version') === version &&
      fields.get('Architecture') === architecture)
    if (!stanza || !/^[0-9a-f]{64}$/.test(stanza.get('SHA256') || '') || !/^[^/\s]+\.deb$/.test(path.basename(stanza.get('Filename') || ''))) continue
    found.set(name, { filename: path.basename(stanza.get('Filename')), sha256: stanza.get('SHA256') })
  }
  return found
}

// The SHA-512 of the cached copy of INDEXED ({ filename, sha256 }) in
// FOLDER, only if that copy's SHA-256 is the index's; else null.
export function cachedSha512 (indexed, folder = aptArchives) {
  let bytes
  try {
    bytes = fs.readFileSync(path.join(folder, indexed.filename))
  } catch {
    return null
  }
  if (crypto.createHash('sha256').update(bytes).digest('hex') !== indexed.sha256) return null
  return crypto.createHash('sha512').update(bytes).digest('hex')
}

// The .deb of each package ({ name, version, architecture }) as this
// machine knows it: { filename, sha256, sha512 } with null for what it does
// not know. With GIVEN (the facts of a release's own SBOM, by package
// name), the release's facts are taken, each checked where this machine
// knows it: a verifier's apt need not hold what the publisher's held.
// Returns { debs: Map(name -> facts), unchecked: [lines] }.
export function debsOf (packages, given = null, folder = aptArchives) {
  const debs = new Map()
  const unchecked = []
  const index = indexedDebs(packages)
  for (const entry of packages) {
    const indexed = index.get(entry.name)
    const here = { filename: indexed?.filename ?? null, sha256: indexed?.sha256 ?? null, sha512: indexed ? cachedSha512(indexed, folder) : null }
    if (!given) {
      debs.set(entry.name, here)
      continue
    }
    const theirs = given[entry.name] || { filename: null, sha256: null, sha512: null }
    for (const [field, named] of [['filename', 'file name'], ['sha256', 'SHA-256'], ['sha512', 'SHA-512']]) {
      if (theirs[field] === null || theirs[field] === undefined) continue
      if (here[field] === null) {
        unchecked.push(`the ${named} of ${entry.name}'s .deb (not in apt's ${field === 'sha512' ? 'cache' : 'index'} here)`)
      } else if (here[field] !== theirs[field]) {
        throw new Refusal(`the SBOM says that ${entry.name}'s .deb has the ${named} ${theirs[field]}, where apt here says ${here[field]}`)
      }
    }
    debs.set(entry.name, { filename: theirs.filename ?? null, sha256: theirs.sha256 ?? null, sha512: theirs.sha512 ?? null })
  }
  return { debs, unchecked }
}

// The .deb facts that an SBOM of ours states, by package name: what a
// verifier gives debsOf.
export function debsInSbom (document) {
  const found = Object.create(null)
  for (const component of (document.metadata?.component?.components) || []) {
    if (typeof component.purl !== 'string' || !component.purl.startsWith('pkg:deb/')) continue
    const property = (name) => (component.properties || []).find((p) => p.name === name)?.value ?? null
    const hash = (alg) => (component.hashes || []).find((h) => h.alg === alg)?.content ?? null
    const facts = { filename: property('bsi:component:filename'), sha256: hash('SHA-256'), sha512: hash('SHA-512') }
    const forms = { filename: /^[A-Za-z0-9][A-Za-z0-9.+~_-]*\.deb$/, sha256: /^[0-9a-f]{64}$/, sha512: /^[0-9a-f]{128}$/ }
    for (const [field, form] of Object.entries(forms)) {
      if (facts[field] !== null && !(typeof facts[field] === 'string' && form.test(facts[field]))) {
        throw new Refusal(`the SBOM gives a package's .deb a ${field === 'filename' ? 'file name' : field} that is none`)
      }
    }
    found[String(component.name)] = facts
  }
  return found
}
