// Starts `pelto-sim --dap` for debug sessions of type "pelto-sim"; the command comes from the
// setting pelto-sim.path.
'use strict';
const vscode = require('vscode');

function activate(context) {
  context.subscriptions.push(vscode.debug.registerDebugAdapterDescriptorFactory('pelto-sim', {
    createDebugAdapterDescriptor() {
      const command = vscode.workspace.getConfiguration('pelto-sim').get('path', 'pelto-sim');
      return new vscode.DebugAdapterExecutable(command, ['--dap']);
    },
  }));
}

function deactivate() {}

module.exports = { activate, deactivate };
