#include "platform/guard/GitConfigKeys.h"

#include <cctype>
#include <unordered_map>
#include <vector>

namespace nerim::platform::guard {

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

namespace {

std::string variableOr(const KeyEnvironment &environment, const char *name, const std::string &fallback = {})
{
    const auto it = environment.find(name);
    return it != environment.end() && !it->second.empty() ? it->second : fallback;
}

std::string shellQuoted(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

std::string subsectionLowered(const std::optional<std::string> &subsection)
{
    return subsection ? lowered(*subsection) : std::string();
}

// An external diff that prints what git's own would: a unified diff of the two files.
const char *const plainExternalDiff =
    "f() { [ $# -ge 7 ] || { echo \"* Unmerged path $1\"; return 0; }; "
    "diff -u --label \"a/$1\" --label \"b/$1\" -- \"$2\" \"$5\"; [ $? -le 1 ]; }; f";

std::string editor(const KeyEnvironment &environment, const std::optional<std::string> &)
{
    return neutralEditor(environment);
}

// The keys that are not harmless, as git lists them (or as it reads them
// without listing them), with the value that replaces a repository's.
const KeyRule rules[] = {
    // Programs git runs on routine commands. Those marked `always` are set
    // on every command, whoever sets them: what git reads after the query
    // (a configuration swapped in meanwhile) cannot bring them back. Their
    // neutral value is what git does when nothing sets them.
    {"core.hooksPath", KeyClass::neutralised, "/dev/null", nullptr, true}, // git's default is the repository's own folder
    {"core.fsmonitor", KeyClass::neutralised, "false", nullptr, true},
    {"core.pager", KeyClass::neutralised, nullptr,
     [](const KeyEnvironment &environment, const std::optional<std::string> &) {
         return variableOr(environment, "PAGER", "less");
     },
     true},
    {"core.editor", KeyClass::neutralised, nullptr, editor, true},
    {"sequence.editor", KeyClass::neutralised, nullptr, editor, true},
    {"core.sshCommand", KeyClass::neutralised, nullptr,
     [](const KeyEnvironment &environment, const std::optional<std::string> &) {
         // Unset, git runs GIT_SSH, or "ssh".
         const std::string program = variableOr(environment, "GIT_SSH");
         return program.empty() ? std::string("ssh") : shellQuoted(program);
     },
     true},
    {"core.askPass", KeyClass::neutralised, nullptr,
     [](const KeyEnvironment &environment, const std::optional<std::string> &) {
         return variableOr(environment, "SSH_ASKPASS");
     },
     true},
    {"gpg.program", KeyClass::neutralised, "gpg", nullptr, true},
    {"gpg.<format>.program", KeyClass::neutralised, nullptr,
     [](const KeyEnvironment &, const std::optional<std::string> &format) {
         const std::string name = subsectionLowered(format);
         return std::string(name == "x509" ? "gpgsm" : name == "ssh" ? "ssh-keygen" : "gpg");
     }},
    {"gpg.ssh.defaultKeyCommand", KeyClass::neutralised, ""},
    {"core.alternateRefsCommand", KeyClass::neutralised,
     "f() { git --git-dir=\"$1\" for-each-ref --format='%(objectname)'; }; f"},
    {"diff.external", KeyClass::neutralised, plainExternalDiff},
    {"interactive.diffFilter", KeyClass::neutralised, "cat"},
    {"imap.tunnel", KeyClass::neutralised, ""},
    {"instaweb.httpd", KeyClass::neutralised, ""},
    {"instaweb.browser", KeyClass::neutralised, ""},
    // An empty command is no filter: the content passes unchanged.
    {"filter.<driver>.clean", KeyClass::neutralised, ""},
    {"filter.<driver>.smudge", KeyClass::neutralised, ""},
    {"filter.<driver>.process", KeyClass::neutralised, ""},
    {"filter.<driver>.required", KeyClass::neutralised, "false"},
    {"diff.<driver>.textconv", KeyClass::neutralised, "cat"},
    {"diff.<driver>.command", KeyClass::neutralised, plainExternalDiff},
    {"merge.<driver>.driver", KeyClass::neutralised,
     "git merge-file -L ours -L base -L theirs --marker-size=%L %A %O %B"},
    {"difftool.<tool>.cmd", KeyClass::neutralised, ""},
    {"difftool.<tool>.path", KeyClass::neutralised, ""},
    {"mergetool.<tool>.cmd", KeyClass::neutralised, ""},
    {"mergetool.<tool>.path", KeyClass::neutralised, ""},
    {"browser.<tool>.cmd", KeyClass::neutralised, ""},
    {"browser.<tool>.path", KeyClass::neutralised, ""},
    {"man.<tool>.cmd", KeyClass::neutralised, ""},
    {"man.<tool>.path", KeyClass::neutralised, ""},
    {"guitool.<name>.cmd", KeyClass::neutralised, ""},
    {"sendemail.toCmd", KeyClass::neutralised, ""},
    {"sendemail.ccCmd", KeyClass::neutralised, ""},
    {"sendemail.headerCmd", KeyClass::neutralised, ""},
    {"sendemail.sendmailCmd", KeyClass::neutralised, ""},
    {"sendemail.smtpServer", KeyClass::neutralised, ""}, // may name a program
    // `git archive -o x.tgz` pipes through the command of its format.
    {"tar.<format>.command", KeyClass::neutralised, nullptr,
     [](const KeyEnvironment &, const std::optional<std::string> &format) {
         const std::string name = subsectionLowered(format);
         return std::string(name == "tgz" || name == "tar.gz" ? "gzip -cn" : "cat");
     }},
    // `git commit --trailer`: the value comes out empty rather than from the repository's program.
    {"trailer.<token>.cmd", KeyClass::neutralised, "true"},
    {"trailer.<token>.command", KeyClass::neutralised, "true"},
    // git-lfs reads these through `git config` (so through this shim) and runs them.
    {"lfs.customtransfer.<name>.path", KeyClass::neutralised, ""},
    {"lfs.extension.<name>.clean", KeyClass::neutralised, ""},
    {"lfs.extension.<name>.smudge", KeyClass::neutralised, ""},

    // Where git connects, and what it sends or keeps there.
    {"http.proxy", KeyClass::neutralised, ""}, // empty: no proxy
    {"http.sslVerify", KeyClass::neutralised, "true", nullptr, true},
    {"http.delegation", KeyClass::neutralised, "none"},
    // A cookie file git would overwrite (with http.saveCookies) or read.
    {"http.cookieFile", KeyClass::neutralised, ""},
    {"http.saveCookies", KeyClass::neutralised, "false", nullptr, true},
    {"remote.<name>.proxy", KeyClass::neutralised, ""}, // empty: no proxy for that remote
    {"http.sslCAInfo", KeyClass::usersOrRefused}, // empty would turn verification off
    {"http.sslCAPath", KeyClass::usersOrRefused},
    {"http.proxySSLCAInfo", KeyClass::usersOrRefused},
    {"http.curloptResolve", KeyClass::refusedForTransport}, // a list
    {"url.<base>.insteadOf", KeyClass::refusedForTransport}, // the longest match wins
    {"url.<base>.pushInsteadOf", KeyClass::refusedForTransport},
    {"remote.<name>.receivepack", KeyClass::refusedForTransport}, // the first value wins
    {"remote.<name>.uploadpack", KeyClass::refusedForTransport},
    {"remote.<name>.vcs", KeyClass::refusedForTransport}, // runs git-remote-<vcs>
    {"bundle.*", KeyClass::refusedForTransport},
    {"bundle.<id>.*", KeyClass::refusedForTransport},
    {"bundle.<id>.uri", KeyClass::refusedForTransport},
    {"bundle.mode", KeyClass::refusedForTransport},
    {"bundle.version", KeyClass::refusedForTransport},
    {"fetch.bundleURI", KeyClass::refusedForTransport},
    {"transfer.bundleURI", KeyClass::refusedForTransport},

    // Files whose content leaves the repository, or that git writes.
    {"commit.template", KeyClass::pathInProject}, // becomes a commit's message
    {"format.signatureFile", KeyClass::pathInProject}, // goes into patches
    {"format.outputDirectory", KeyClass::pathInProject}, // written
    {"init.templateDir", KeyClass::pathInProject}, // copied into a repository, hooks and all
    {"gitcvs.logFile", KeyClass::pathInProject}, // written
    {"gitcvs.dbName", KeyClass::pathInProject}, // written
    {"http.sslCert", KeyClass::pathInProject}, // shown to the host
    {"http.sslKey", KeyClass::pathInProject},
    {"http.proxySSLCert", KeyClass::pathInProject},
    {"http.proxySSLKey", KeyClass::pathInProject},

    {"alias.*", KeyClass::special},
    {"pager.<cmd>", KeyClass::special},
    {"help.autoCorrect", KeyClass::special},
    {"credential.helper", KeyClass::special},
    {"credential.<url>.*", KeyClass::special},
    {"core.gitProxy", KeyClass::special},
    {"core.worktree", KeyClass::special},
    {"submodule.<name>.update", KeyClass::special},
    {"protocol.<name>.allow", KeyClass::special},
    {"http.<url>.*", KeyClass::special},
    {"sendemail.<identity>.*", KeyClass::special},
};

// Every other key git 2.39 lists, as it lists them: each applies as the
// repository sets it. The few among them that name a file git only reads
// (core.excludesFile, diff.orderFile, mailmap.file...) pass on nothing of
// it; the trace2 settings and uploadpack.packObjectsHook git takes only from
// the user's own files and command line.
const char *const harmlessKeys =
    "add.ignoreErrors add.interactive.useBuiltin advice.addEmbeddedRepo advice.addEmptyPathspec "
    "advice.addIgnoredFile advice.amWorkDir advice.ambiguousFetchRefspec "
    "advice.checkoutAmbiguousRemoteBranchName advice.commitBeforeMerge advice.detachedHead "
    "advice.fetchShowForcedUpdates advice.graftFileDeprecated advice.ignoredHook advice.implicitIdentity "
    "advice.nestedTag advice.objectNameWarning advice.pushAlreadyExists advice.pushFetchFirst "
    "advice.pushNeedsForce advice.pushNonFFCurrent advice.pushNonFFMatching advice.pushNonFastForward "
    "advice.pushRefNeedsUpdate advice.pushUnqualifiedRefName advice.pushUpdateRejected advice.resetNoRefresh "
    "advice.resolveConflict advice.rmHints advice.sequencerInUse advice.setUpstreamFailure "
    "advice.skippedCherryPicks advice.statusAheadBehindWarning advice.statusHints advice.statusUoption "
    "advice.submoduleAlternateErrorStrategyDie advice.submodulesNotUpdated advice.suggestDetachingHead "
    "advice.updateSparsePath advice.waitingForEditor am.keepcr am.threeWay apply.ignoreWhitespace "
    "apply.whitespace author.email author.name blame.blankBoundary blame.coloring blame.date "
    "blame.ignoreRevsFile blame.markIgnoredLines blame.markUnblamableLines blame.showEmail blame.showRoot "
    "branch.<name>.description branch.<name>.merge branch.<name>.mergeOptions branch.<name>.pushRemote "
    "branch.<name>.rebase branch.<name>.remote branch.autoSetupMerge branch.autoSetupRebase branch.sort "
    "checkout.defaultRemote checkout.guess checkout.thresholdForParallelism checkout.workers clean.requireForce "
    "clone.defaultRemoteName clone.filterSubmodules clone.rejectShallow color.advice color.advice.hint "
    "color.blame.highlightRecent color.blame.repeatedLines color.branch color.branch.current color.branch.local "
    "color.branch.plain color.branch.remote color.branch.reset color.branch.upstream color.branch.worktree "
    "color.decorate.HEAD color.decorate.branch color.decorate.grafted color.decorate.remoteBranch "
    "color.decorate.stash color.decorate.tag color.diff color.diff.commit color.diff.context "
    "color.diff.contextBold color.diff.contextDimmed color.diff.frag color.diff.func color.diff.meta "
    "color.diff.new color.diff.newBold color.diff.newDimmed color.diff.newMoved color.diff.newMovedAlternative "
    "color.diff.newMovedAlternativeDimmed color.diff.newMovedDimmed color.diff.old color.diff.oldBold "
    "color.diff.oldDimmed color.diff.oldMoved color.diff.oldMovedAlternative "
    "color.diff.oldMovedAlternativeDimmed color.diff.oldMovedDimmed color.diff.plain color.diff.whitespace "
    "color.grep color.grep.column color.grep.context color.grep.filename color.grep.function "
    "color.grep.lineNumber color.grep.match color.grep.matchContext color.grep.matchSelected "
    "color.grep.selected color.grep.separator color.interactive color.interactive.error "
    "color.interactive.header color.interactive.help color.interactive.plain color.interactive.prompt "
    "color.interactive.reset color.pager color.push color.push.error color.remote color.remote.error "
    "color.remote.hint color.remote.success color.remote.warning color.showBranch color.status "
    "color.status.added color.status.branch color.status.changed color.status.header color.status.localBranch "
    "color.status.noBranch color.status.remoteBranch color.status.unmerged color.status.untracked "
    "color.status.updated color.transport color.transport.rejected color.ui column.branch column.clean "
    "column.status column.tag column.ui commit.cleanup commit.gpgSign commit.status commit.verbose "
    "commitGraph.generationVersion commitGraph.maxNewFilters commitGraph.readChangedPaths committer.email "
    "committer.name completion.commands core.abbrev core.alternateRefsPrefixes core.attributesFile "
    "core.autocrlf core.bare core.bigFileThreshold core.checkRoundtripEncoding core.checkStat core.commentChar "
    "core.commitGraph core.compression core.createObject core.deltaBaseCacheLimit core.eol core.excludesFile "
    "core.fileMode core.filesRefLockTimeout core.fsmonitorHookVersion core.fsync core.fsyncMethod "
    "core.fsyncObjectFiles core.hideDotFiles core.ignoreCase core.ignoreStat core.logAllRefUpdates "
    "core.looseCompression core.multiPackIndex core.notesRef core.packedGitLimit core.packedGitWindowSize "
    "core.packedRefsTimeout core.precomposeUnicode core.preferSymlinkRefs core.preloadIndex core.protectHFS "
    "core.protectNTFS core.quotePath core.repositoryFormatVersion core.restrictinheritedhandles core.safecrlf "
    "core.sharedRepository core.sparseCheckout core.sparseCheckoutCone core.splitIndex core.symlinks "
    "core.trustctime core.unsetenvvars core.untrackedCache core.useReplaceRefs core.warnAmbiguousRefs "
    "core.whitespace credential.protectProtocol credential.sanitizePrompt credential.useHttpPath "
    "credential.username credentialCache.ignoreSIGHUP credentialStore.lockTimeoutMS diff.<driver>.binary "
    "diff.<driver>.cachetextconv diff.<driver>.wordRegex diff.<driver>.xfuncname diff.algorithm "
    "diff.autoRefreshIndex diff.colorMoved diff.colorMovedWS diff.context diff.dirstat diff.guitool "
    "diff.ignoreSubmodules diff.indentHeuristic diff.interHunkContext diff.mnemonicPrefix diff.noprefix "
    "diff.orderFile diff.relative diff.renameLimit diff.renames diff.statGraphWidth diff.submodule "
    "diff.suppressBlankEmpty diff.tool diff.wordRegex diff.wsErrorHighlight difftool.prompt "
    "difftool.trustExitCode extensions.objectFormat extensions.worktreeConfig fastimport.unpackLimit feature.* "
    "feature.experimental feature.manyFiles fetch.fsck.<msg-id> fetch.fsck.skipList fetch.fsckObjects "
    "fetch.negotiationAlgorithm fetch.output fetch.parallel fetch.prune fetch.pruneTags fetch.recurseSubmodules "
    "fetch.showForcedUpdates fetch.unpackLimit fetch.writeCommitGraph format.attach format.cc "
    "format.coverFromDescription format.coverLetter format.encodeEmailHeaders format.filenameMaxLength "
    "format.forceInBodyFrom format.from format.headers format.notes format.numbered format.pretty "
    "format.signOff format.signature format.subjectPrefix format.suffix format.thread format.to "
    "format.useAutoBase fsck.badDate fsck.badDateOverflow fsck.badEmail fsck.badFilemode fsck.badName "
    "fsck.badObjectSha1 fsck.badParentSha1 fsck.badTagName fsck.badTimezone fsck.badTree fsck.badTreeSha1 "
    "fsck.badType fsck.duplicateEntries fsck.emptyName fsck.extraHeaderEntry fsck.fullPathname "
    "fsck.gitattributesBlob fsck.gitattributesLarge fsck.gitattributesLineLength fsck.gitattributesMissing "
    "fsck.gitattributesSymlink fsck.gitignoreSymlink fsck.gitmodulesBlob fsck.gitmodulesLarge "
    "fsck.gitmodulesMissing fsck.gitmodulesName fsck.gitmodulesParse fsck.gitmodulesPath fsck.gitmodulesSymlink "
    "fsck.gitmodulesUpdate fsck.gitmodulesUrl fsck.hasDot fsck.hasDotdot fsck.hasDotgit fsck.mailmapSymlink "
    "fsck.missingAuthor fsck.missingCommitter fsck.missingEmail fsck.missingNameBeforeEmail fsck.missingObject "
    "fsck.missingSpaceBeforeDate fsck.missingSpaceBeforeEmail fsck.missingTag fsck.missingTagEntry "
    "fsck.missingTaggerEntry fsck.missingTree fsck.missingType fsck.missingTypeEntry fsck.multipleAuthors "
    "fsck.nulInCommit fsck.nulInHeader fsck.nullSha1 fsck.skipList fsck.treeNotSorted fsck.unknownType "
    "fsck.unterminatedHeader fsck.zeroPaddedDate fsck.zeroPaddedFilemode fsmonitor.allowRemote "
    "fsmonitor.socketDir gc.<pattern>.reflogExpire gc.<pattern>.reflogExpireUnreachable gc.aggressiveDepth "
    "gc.aggressiveWindow gc.auto gc.autoDetach gc.autoPackLimit gc.bigPackThreshold gc.cruftPacks gc.logExpiry "
    "gc.packRefs gc.pruneExpire gc.reflogExpire gc.reflogExpireUnreachable gc.rerereResolved "
    "gc.rerereUnresolved gc.worktreePruneExpire gc.writeCommitGraph gitcvs.allBinary gitcvs.commitMsgAnnotation "
    "gitcvs.dbDriver gitcvs.dbPass gitcvs.dbTableNamePrefix gitcvs.dbUser gitcvs.enabled gitcvs.usecrlfattr "
    "gitweb.avatar gitweb.blame gitweb.category gitweb.description gitweb.grep gitweb.highlight gitweb.owner "
    "gitweb.patches gitweb.pickaxe gitweb.remote_heads gitweb.showSizes gitweb.snapshot gitweb.url gpg.format "
    "gpg.minTrustLevel gpg.ssh.allowedSignersFile gpg.ssh.revocationFile grep.column grep.extendedRegexp "
    "grep.fallbackToNoIndex grep.fullName grep.lineNumber grep.patternType grep.threads gui.blamehistoryctx "
    "gui.commitMsgWidth gui.copyBlameThreshold gui.diffContext gui.displayUntracked gui.encoding "
    "gui.fastCopyBlame gui.matchTrackingBranch gui.newBranchTemplate gui.pruneDuringFetch "
    "gui.spellingDictionary gui.trustmtime guitool.<name>.argPrompt guitool.<name>.confirm "
    "guitool.<name>.needsFile guitool.<name>.noConsole guitool.<name>.noRescan guitool.<name>.prompt "
    "guitool.<name>.revPrompt guitool.<name>.revUnmerged guitool.<name>.title help.browser help.format "
    "help.htmlPath http.emptyAuth http.extraHeader http.followRedirects http.lowSpeedLimit http.lowSpeedTime "
    "http.maxRequests http.minSessions http.noEPSV http.pinnedPubkey http.postBuffer http.proxyAuthMethod "
    "http.proxySSLCertPasswordProtected http.schannelCheckRevoke http.schannelUseSSLCAInfo http.sslBackend "
    "http.sslCertPasswordProtected http.sslCipherList http.sslTry http.sslVersion http.userAgent http.version "
    "i18n.commitEncoding i18n.logOutputEncoding imap.authMethod imap.folder imap.host imap.pass imap.port "
    "imap.preformattedHTML imap.sslverify imap.user include.path includeIf.<condition>.path "
    "index.recordEndOfIndexEntries index.recordOffsetTable index.sparse index.threads index.version "
    "init.defaultBranch instaweb.local instaweb.modulePath instaweb.port interactive.singleKey log.abbrevCommit "
    "log.date log.decorate log.diffMerges log.excludeDecoration log.follow log.graphColors "
    "log.initialDecorationSet log.mailmap log.showRoot log.showSignature lsrefs.unborn mailinfo.scissors "
    "mailmap.blob mailmap.file maintenance.<task>.enabled maintenance.<task>.schedule maintenance.auto "
    "maintenance.commit-graph.auto maintenance.incremental-repack.auto maintenance.loose-objects.auto "
    "maintenance.strategy man.viewer merge.<driver>.name merge.<driver>.recursive merge.autoStash "
    "merge.branchdesc merge.conflictStyle merge.defaultToUpstream merge.directoryRenames merge.ff merge.guitool "
    "merge.log merge.renameLimit merge.renames merge.renormalize merge.stat merge.suppressDest merge.tool "
    "merge.verbosity merge.verifySignatures mergetool.<tool>.hideResolved mergetool.<tool>.trustExitCode "
    "mergetool.hideResolved mergetool.keepBackup mergetool.keepTemporaries mergetool.meld.hasOutput "
    "mergetool.meld.useAutoMerge mergetool.prompt mergetool.vimdiff.layout mergetool.writeToTemp "
    "notes.<name>.mergeStrategy notes.displayRef notes.mergeStrategy notes.rewrite.<command> notes.rewriteMode "
    "notes.rewriteRef pack.allowPackReuse pack.compression pack.deltaCacheLimit pack.deltaCacheSize pack.depth "
    "pack.indexVersion pack.island pack.islandCore pack.packSizeLimit pack.preferBitmapTips pack.threads "
    "pack.useBitmaps pack.useSparse pack.window pack.windowMemory pack.writeBitmapHashCache "
    "pack.writeBitmapLookupTable pack.writeReverseIndex pretty.<name> protocol.allow protocol.version pull.ff "
    "pull.octopus pull.rebase pull.twohead push.autoSetupRemote push.default push.followTags push.gpgSign "
    "push.negotiate push.pushOption push.recurseSubmodules push.useBitmaps push.useForceIfIncludes "
    "rebase.abbreviateCommands rebase.autoSquash rebase.autoStash rebase.backend rebase.forkPoint "
    "rebase.instructionFormat rebase.missingCommitsCheck rebase.rescheduleFailedExec rebase.stat "
    "rebase.updateRefs receive.advertiseAtomic receive.advertisePushOptions receive.autogc "
    "receive.certNonceSeed receive.certNonceSlop receive.denyCurrentBranch receive.denyDeleteCurrent "
    "receive.denyDeletes receive.denyNonFastForwards receive.fsck.badDate receive.fsck.badDateOverflow "
    "receive.fsck.badEmail receive.fsck.badFilemode receive.fsck.badName receive.fsck.badObjectSha1 "
    "receive.fsck.badParentSha1 receive.fsck.badTagName receive.fsck.badTimezone receive.fsck.badTree "
    "receive.fsck.badTreeSha1 receive.fsck.badType receive.fsck.duplicateEntries receive.fsck.emptyName "
    "receive.fsck.extraHeaderEntry receive.fsck.fullPathname receive.fsck.gitattributesBlob "
    "receive.fsck.gitattributesLarge receive.fsck.gitattributesLineLength receive.fsck.gitattributesMissing "
    "receive.fsck.gitattributesSymlink receive.fsck.gitignoreSymlink receive.fsck.gitmodulesBlob "
    "receive.fsck.gitmodulesLarge receive.fsck.gitmodulesMissing receive.fsck.gitmodulesName "
    "receive.fsck.gitmodulesParse receive.fsck.gitmodulesPath receive.fsck.gitmodulesSymlink "
    "receive.fsck.gitmodulesUpdate receive.fsck.gitmodulesUrl receive.fsck.hasDot receive.fsck.hasDotdot "
    "receive.fsck.hasDotgit receive.fsck.mailmapSymlink receive.fsck.missingAuthor "
    "receive.fsck.missingCommitter receive.fsck.missingEmail receive.fsck.missingNameBeforeEmail "
    "receive.fsck.missingObject receive.fsck.missingSpaceBeforeDate receive.fsck.missingSpaceBeforeEmail "
    "receive.fsck.missingTag receive.fsck.missingTagEntry receive.fsck.missingTaggerEntry "
    "receive.fsck.missingTree receive.fsck.missingType receive.fsck.missingTypeEntry "
    "receive.fsck.multipleAuthors receive.fsck.nulInCommit receive.fsck.nulInHeader receive.fsck.nullSha1 "
    "receive.fsck.skipList receive.fsck.treeNotSorted receive.fsck.unknownType receive.fsck.unterminatedHeader "
    "receive.fsck.zeroPaddedDate receive.fsck.zeroPaddedFilemode receive.fsckObjects receive.hideRefs "
    "receive.keepAlive receive.maxInputSize receive.procReceiveRefs receive.shallowUpdate receive.unpackLimit "
    "receive.updateServerInfo remote.<name>.fetch remote.<name>.mirror remote.<name>.partialclonefilter "
    "remote.<name>.promisor remote.<name>.proxyAuthMethod remote.<name>.prune remote.<name>.pruneTags "
    "remote.<name>.push remote.<name>.pushurl remote.<name>.skipDefaultUpdate remote.<name>.skipFetchAll "
    "remote.<name>.tagOpt remote.<name>.url remote.pushDefault remotes.<group> repack.cruftDepth "
    "repack.cruftThreads repack.cruftWindow repack.cruftWindowMemory repack.packKeptObjects "
    "repack.updateServerInfo repack.useDeltaBaseOffset repack.useDeltaIslands repack.writeBitmaps "
    "rerere.autoUpdate rerere.enabled revert.reference safe.bareRepository safe.directory "
    "sendemail.aliasFileType sendemail.aliasesFile sendemail.annotate sendemail.bcc sendemail.cc "
    "sendemail.chainReplyTo sendemail.confirm sendemail.envelopeSender sendemail.forbidSendmailVariables "
    "sendemail.from sendemail.identity sendemail.multiEdit sendemail.signedoffbycc sendemail.smtpBatchSize "
    "sendemail.smtpDomain sendemail.smtpEncryption sendemail.smtpPass sendemail.smtpReloginDelay "
    "sendemail.smtpServerOption sendemail.smtpServerPort sendemail.smtpUser sendemail.smtpsslcertpath "
    "sendemail.suppressFrom sendemail.suppresscc sendemail.thread sendemail.to sendemail.transferEncoding "
    "sendemail.validate sendemail.xmailer showBranch.default sparse.expectFilesOutsideOfPatterns "
    "splitIndex.maxPercentChange splitIndex.sharedIndexExpire ssh.variant stash.showIncludeUntracked "
    "stash.showPatch stash.showStat status.aheadBehind status.branch status.displayCommentPrefix "
    "status.relativePaths status.renameLimit status.renames status.short status.showStash "
    "status.showUntrackedFiles status.submoduleSummary submodule.<name>.active submodule.<name>.branch "
    "submodule.<name>.fetchRecurseSubmodules submodule.<name>.ignore submodule.<name>.url submodule.active "
    "submodule.alternateErrorStrategy submodule.alternateLocation submodule.fetchJobs "
    "submodule.propagateBranches submodule.recurse tag.forceSignAnnotated tag.gpgSign tag.sort tar.umask "
    "trace2.configParams trace2.destinationDebug trace2.envVars trace2.eventBrief trace2.eventNesting "
    "trace2.eventTarget trace2.maxFiles trace2.normalBrief trace2.normalTarget trace2.perfBrief "
    "trace2.perfTarget transfer.advertiseSID transfer.credentialsInUrl transfer.fsckObjects transfer.hideRefs "
    "transfer.unpackLimit uploadarchive.allowUnreachable uploadpack.allowAnySHA1InWant uploadpack.allowFilter "
    "uploadpack.allowReachableSHA1InWant uploadpack.allowRefInWant uploadpack.allowTipSHA1InWant "
    "uploadpack.hideRefs uploadpack.keepAlive uploadpack.packObjectsHook uploadpackfilter.<filter>.allow "
    "uploadpackfilter.allow uploadpackfilter.tree.maxDepth user.email user.name user.signingKey "
    "user.useConfigOnly versionsort.suffix web.browser worktree.guessRemote"
    ;

const KeyRule harmlessRule{"", KeyClass::harmless};

// "pager.<cmd>" -> "pager.<>": section and name in lower case, each
// placeholder the same.
std::string normalised(std::string_view listed)
{
    std::string out;
    for (size_t i = 0; i < listed.size(); ++i) {
        if (listed[i] == '<') {
            const size_t close = listed.find('>', i);
            if (close != std::string_view::npos) {
                out += "<>";
                i = close;
                continue;
            }
        }
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(listed[i]))));
    }
    return out;
}

const std::unordered_map<std::string, const KeyRule *> &table()
{
    static const std::unordered_map<std::string, const KeyRule *> entries = [] {
        std::unordered_map<std::string, const KeyRule *> out;
        for (const KeyRule &rule : rules)
            out.emplace(normalised(rule.listed), &rule);
        const std::string_view all(harmlessKeys);
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find(' ', start);
            if (end == std::string_view::npos)
                end = all.size();
            if (end > start)
                out.emplace(normalised(all.substr(start, end - start)), &harmlessRule);
            start = end + 1;
        }
        return out;
    }();
    return entries;
}

const KeyRule *find(const std::string &pattern)
{
    const auto it = table().find(pattern);
    return it == table().end() ? nullptr : it->second;
}

} // namespace

std::string neutralEditor(const KeyEnvironment &environment)
{
    const auto term = environment.find("TERM");
    const bool dumb = term == environment.end() || term->second == "dumb";
    if (!dumb) {
        if (const auto visual = environment.find("VISUAL"); visual != environment.end())
            return visual->second;
    }
    if (const auto editor = environment.find("EDITOR"); editor != environment.end())
        return editor->second;
    return ":";
}

const KeyRule *ruleOfKey(std::string_view key)
{
    const size_t first = key.find('.');
    const size_t last = key.rfind('.');
    if (first == std::string_view::npos || first == 0 || last + 1 >= key.size())
        return nullptr;
    const std::string section = lowered(key.substr(0, first));
    const std::string name = lowered(key.substr(last + 1));
    if (first == last) {
        for (const std::string &pattern : {section + '.' + name, section + ".<>", section + ".*"})
            if (const KeyRule *rule = find(pattern))
                return rule;
        return nullptr;
    }
    // A subsection as written: git compares it with its letter case.
    const std::string subsection(key.substr(first + 1, last - first - 1));
    for (const std::string &pattern :
         {section + '.' + subsection + '.' + name, section + ".<>." + name, section + '.' + subsection + ".<>",
          section + ".<>.*", section + ".*", section + ".<>"})
        if (const KeyRule *rule = find(pattern))
            return rule;
    // Keys with two levels below the section (lfs.customtransfer.<name>.path).
    const size_t second = key.find('.', first + 1);
    if (second != std::string_view::npos && second < last) {
        const std::string middle = lowered(key.substr(first + 1, second - first - 1));
        if (const KeyRule *rule = find(section + '.' + middle + ".<>." + name))
            return rule;
    }
    return nullptr;
}

std::optional<KeyClass> classOfKey(std::string_view key)
{
    const KeyRule *rule = ruleOfKey(key);
    return rule ? std::optional<KeyClass>(rule->kind) : std::nullopt;
}

std::optional<KeyClass> classOfListedKey(std::string_view listed)
{
    const KeyRule *rule = find(normalised(listed));
    return rule ? std::optional<KeyClass>(rule->kind) : std::nullopt;
}

std::vector<const KeyRule *> alwaysSetRules()
{
    std::vector<const KeyRule *> out;
    for (const KeyRule &rule : rules)
        if (rule.always)
            out.push_back(&rule);
    return out;
}

} // namespace nerim::platform::guard
