// Prints what the npm package wavefile reads of a WAVE file, as JSON: an independent reader of
// bext, iXML, cue points and LIST INFO tags for the end-to-end tests.
const fs = require('fs');
const { WaveFile } = require('wavefile');

const w = new WaveFile(fs.readFileSync(process.argv[2]));
const trim = (key, value) => (typeof value === 'string' ? value.replace(/\0+$/, '') : value);
console.log(JSON.stringify({
  channels: w.fmt.numChannels,
  sampleRate: w.fmt.sampleRate,
  bext: w.bext.chunkId ? w.bext : null,
  iXML: w.iXML.chunkId ? w.iXML.value : null,
  cue: w.listCuePoints(),
  tags: w.listTags(),
}, trim));
