// Which fields of BSI TR-03183-2 v2.1 an SBOM of ours lacks: for want of an
// input, and read from the document itself.
import { licenceRefs } from './licences.mjs'

// Which fields of BSI TR-03183-2 v2.1 the SBOM lacks for want of an input.
export function lackingFields (inputs) {
  const lacking = []
  if (!inputs.licence) lacking.push('distribution licences of UninstallNotice.exe, FilesInUse.exe and the includes (PUBLISHER_LICENSE)')
  if (inputs.licence && !inputs.licenceUrl) {
    for (const ref of licenceRefs(inputs.licence)) lacking.push(`text or URL of the licence ${ref} (PUBLISHER_LICENSE_URL)`)
  }
  if (!inputs.sourceUrl) lacking.push('source code URI of UninstallNotice.exe and FilesInUse.exe (SOURCE_URL)')
  if (!inputs.downloadUrl) lacking.push('URI of the deployable form of UninstallNotice.exe (DOWNLOAD_URL)')
  return lacking
}

// The fields that TR-03183-2 v2.1 asks of every component, of whatever
// type, and that the document still lacks, read from the document itself:
// a version, a filename, the executable, archive and structured
// properties, a SHA-512, and (for what others made) declared licences;
// ours take PUBLISHER_LICENSE's (lackingFields). One line a component,
// with why where it is known.
export function lackingInDocument (document) {
  const lines = []
  const property = (component, name) => (component.properties || []).some((p) => p.name === name)
  const sha512 = (component) => (component.hashes || []).some((h) => h.alg === 'SHA-512')
  const visit = (component, own) => {
    const fields = []
    if (!component.version) fields.push('version')
    if (!property(component, 'bsi:component:filename')) fields.push('filename')
    for (const name of ['executable', 'archive', 'structured']) {
      if (!property(component, `bsi:component:${name}`)) fields.push(`${name} property`)
    }
    if (!sha512(component)) fields.push('SHA-512')
    const declared = [...(component.licenses || []), ...((component.evidence || {}).licenses || [])]
      .some((l) => (l.license || l).acknowledgement === 'declared')
    if (!own && !declared) fields.push('declared licences')
    if (fields.length) {
      let why = ''
      if (component.type === 'operating-system') why = ' (the user\'s system: the release does not ship it)'
      else if (component['bom-ref'].startsWith('platform:')) why = ' (part of the user\'s Windows: the release does not ship it)'
      else if ((component.purl || '').startsWith('pkg:deb/') && component.type === 'library') why = ' (of its .deb, which apt here does not hold or know)'
      lines.push(`${component.name}: ${fields.join(', ')}${why}`)
    }
    for (const child of component.components || []) visit(child, false)
  }
  visit(document.metadata.component, true)
  for (const component of document.components || []) visit(component, component.purl?.startsWith('pkg:generic/UninstallNotice@') ?? false)
  return lines
}
