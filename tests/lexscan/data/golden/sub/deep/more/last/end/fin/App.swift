import SwiftUI
import Foundation
public final class AppModel {}
struct Row {}
    static func makeRow() {}
