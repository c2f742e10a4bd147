// Answers that a release can state in one line.
export class Refusal extends Error {}
